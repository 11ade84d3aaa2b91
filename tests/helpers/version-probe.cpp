#include "Core/Version.h"

#include <cstdio>

int main() {
    std::printf("%s\n", torvex::TorvexVersion::current().c_str());
    return 0;
}
