// The peer program's entry point: signal handlers, the command line, then the event loop.
#include <csignal>
#include <cstdio>

#include "config/debug.h"
#include "engine/peer.h"

int main(int argc, char **argv) {
    open_standard_descriptors();
    signal(SIGINT, catch_sig);
    signal(SIGTERM, catch_sig);
    signal(SIGSEGV, catch_sig);
    signal(SIGBUS, catch_sig);
    // Fully buffered: the receive path writes a line per datagram; lines a user or a script waits
    // for are flushed where they are written.
    static char stdout_buffer[1 << 16];
    setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer);

    bt_config_t config;
    bt_init(&config, argc, argv);
    bt_parse_command_line(&config);
    if (debug & (DEBUG_WINDOW | DEBUG_ALL)) {
        bt_dump_config(&config);
        fflush(stdout);
    }
    peer_run(&config);
}
