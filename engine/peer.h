// The peer program: start-up, the event loop and the GET command.
#pragma once

#include "config/bt_parse.h"

// Writes the signal message to standard output and ends the process with status 1.
void catch_sig(int sig_num);
// Opens the socket, starts the shim, loads the hash lists and runs the event loop; never returns.
[[noreturn]] void peer_run(bt_config_t *config);
// Receives one datagram, checks its header and dispatches it by type.
void process_inbound_udp(bt_config_t *config);
// The line handler of standard input: recognises "GET <hashfile> <outfile>".
void handle_user_input(char *line, void *cbdata);
// Starts a download of the chunks named in chunkfile into outputfile.
void process_get(char *chunkfile, char *outputfile, bt_config_t *config);
