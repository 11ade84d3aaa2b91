#include "Version.h"

#include <cstdio>

// Headless host of the service; for now it only reports the bundle's version.
int main() {
    std::printf("{\"event\":\"started\",\"version\":\"%s\"}\n", torvex::TorvexVersion::current().c_str());
    return 0;
}
