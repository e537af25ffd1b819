// The peer program: start-up, the event loop and the GET command.
#pragma once

#include "config/bt_parse.h"
#include "engine/input_buffer.h"

// Releases every peer record with all it owns, the configuration's chunk lists, the store, the
// chunk index and the progress display, and closes the output file of a running download. For
// programs and tests that build a configuration and go on after it; the peer itself keeps its
// configuration until the process ends.
void releaseConfiguration(bt_config_t *config);
// Records SIGINT or SIGTERM for the event loop, which then writes the signal message and ends the
// process with status 1; SIGSEGV and SIGBUS end it at once, with the message.
void catch_sig(int sig_num);
// Opens descriptors 0, 1 and 2 on /dev/null when they are closed.
void open_standard_descriptors();
// Opens the socket, starts the shim, loads the hash lists and runs the event loop; never returns.
[[noreturn]] void peer_run(bt_config_t *config);
// Everything peer_run does before its loop: socket, shim, window log, hash lists, chunk store and
// progress display; SIGINT and SIGTERM are blocked outside the loop's wait from then on. A
// failure ends the process with status -1.
void peer_setup(bt_config_t *config);
// One pass of the event loop: waits for a datagram, a line of standard input (when userbuf is
// given and *stdin_open) or the next deadline, handles what came and runs the periodic checks.
// The signal caught by catch_sig (SIGINT or SIGTERM), or 0; the caller decides what it ends.
int peer_pass(bt_config_t *config, user_iobuf *userbuf, bool *stdin_open);
// The signal catch_sig recorded, or 0.
int peer_caught_signal();
// What "GET chunkfile outputfile" does: 0 when the download started (or, resumed with --swarm,
// was already complete), -1 when it was refused, with the reason on standard error.
int peer_start_download(bt_config_t *config, const char *chunkfile, const char *outputfile,
                        double now);
// Receives one datagram and hands it to handleDatagram.
void process_inbound_udp(bt_config_t *config, double now);
// The adaptive profile's receive: every datagram already queued (up to VEXLO_SEGMENTS_MAX, a
// GSO buffer that came whole cut into its datagrams), taken with one system call and handed to
// handleDatagram one by one, in arrival order, each handled to its end before the next.
void process_inbound_batch(bt_config_t *config, double now);
// The line handler of standard input: recognises "GET <hashfile> <outfile>".
void handle_user_input(char *line, void *cbdata);
// Starts a download of the chunks named in chunkfile into outputfile, at the time of the running
// pass of the event loop (the designed signature carries no time).
void process_get(char *chunkfile, char *outputfile, bt_config_t *config);
