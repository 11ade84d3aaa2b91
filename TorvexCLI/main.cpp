#include "Torvex.h"

int main(int argc, char** argv) { return torvex::cli::run(argc, argv); }
