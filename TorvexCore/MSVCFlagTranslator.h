#pragma once

namespace torvex::MSVCFlagTranslator {
} // namespace torvex::MSVCFlagTranslator
