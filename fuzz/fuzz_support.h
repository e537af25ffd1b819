// What the fuzz targets share: reading steps off the input, a temporary folder that lives as long
// as the fuzzing process, UDP sockets that take whatever the engine sends, configurations built
// in memory, and a teardown that releases everything a configuration owns.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/bt_parse.h"
#include "engine/chunklist.h"
#include "engine/time_util.h"

namespace fz {

// ---- the input as a sequence of fields ------------------------------------------------------

// Reads fields off the fuzz input; past its end every field reads as zero.
struct Cursor {
    const uint8_t *data;
    size_t size;
};

inline bool at_end(const Cursor &in) {
    return in.size == 0;
}

inline uint8_t take_u8(Cursor *in) {
    if (in->size == 0) return 0;
    uint8_t v = in->data[0];
    in->data++;
    in->size--;
    return v;
}

inline uint16_t take_u16(Cursor *in) {
    uint16_t hi = take_u8(in);
    return static_cast<uint16_t>((hi << 8) | take_u8(in));
}

// Up to n bytes (fewer at the end of the input); *got receives how many.
inline const uint8_t *take_bytes(Cursor *in, size_t n, size_t *got) {
    *got = n < in->size ? n : in->size;
    const uint8_t *p = in->data;
    in->data += *got;
    in->size -= *got;
    return p;
}

// ---- files -----------------------------------------------------------------------------------

// A folder under TMPDIR (or /tmp) made on first use and removed, with the files the targets
// named, when the process exits normally. A crash leaves it for the artifact's reproduction.
const std::string &temp_dir();
// Registers path for removal at exit.
void remove_at_exit(const std::string &path);
// Writes bytes to path; false when the file could not be written whole.
bool write_file(const std::string &path, const void *bytes, size_t n);
inline bool write_file(const std::string &path, const std::string &bytes) {
    return write_file(path, bytes.data(), bytes.size());
}
// A file in memory, named by a path the engine can open: fast to rewrite for every input.
struct MemFile {
    int fd;
    std::string path;  // /proc/self/fd/<fd>
};
MemFile open_memfile(const char *name);
// Replaces the file's contents with the n bytes; false when they could not be written.
bool refill(const MemFile &file, const void *bytes, size_t n);
// n bytes of a fixed-seed generator.
std::string seeded_bytes(size_t n, uint32_t seed);

// ---- sockets and configurations --------------------------------------------------------------

// A UDP socket bound to 127.0.0.1 that nobody reads: what is sent to it is queued until its
// buffer is full and dropped after that. Lives as long as the process.
struct Sink {
    int fd;
    uint16_t port;  // host byte order
};
Sink open_sink();

// A peer record for id at 127.0.0.1:port, put first in config->peers (owned by config).
bt_peer_t *add_peer(bt_config_t *config, short id, uint16_t port);
// The loopback address at port (host byte order).
struct sockaddr_in loopback(uint16_t port);
// Releases every peer record with its connections, the chunk lists and the output file, and
// clears the fields: what bt_config_t holds after a run of the engine.
void free_config(bt_config_t *config);

}  // namespace fz
