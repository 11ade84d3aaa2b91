// Serves the tests' scripted handler on a socket until its standard input ends.
// Prints "ready" once it listens. Usage: ipc-test-server SOCKET
#include "Core/TorvexError.h"
#include "support/IPCFixture.h"

#include <unistd.h>

#include <cstdio>

using namespace torvex;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ipc-test-server SOCKET\n");
        return 64;
    }
    testing::ScriptedHandler script;
    IPCServer server(argv[1], script.handler());
    try {
        server.start();
    } catch (const TorvexError& error) {
        std::fprintf(stderr, "%s\n", error.description().c_str());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char byte;
    while (::read(STDIN_FILENO, &byte, 1) > 0) {}
    server.stop();
    return 0;
}
