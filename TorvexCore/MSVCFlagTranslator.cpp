#include "MSVCFlagTranslator.h"
