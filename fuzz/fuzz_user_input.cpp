// Fuzz target: the input line buffer and the GET command. The first input byte sets how many
// bytes reach the pipe between two reads (1..256); the rest is what a user types, handed to the
// peer's line handler. The peer's only other peer is a socket nobody reads.
//
// Runs in a folder of its own: a GET creates its output file there. (Give the fuzzer absolute
// paths for its corpus and artifacts, as fuzz/run.sh does.) Every '/' of the input is
// taken as '_', so that no name can reach a file outside the folder; files a GET created are
// removed after each input. The peer's own files must never change, and a line longer than the
// buffer (which ends the process, as designed) is not offered.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/bt_parse.h"
#include "engine/input_buffer.h"
#include "engine/peer.h"
#include "fuzz/fuzz_support.h"

namespace {

// The folder's files present before any input.
struct Fixture {
    const char *name;
    const char *contents;
    bool own;  // one of the peer's own files, which no GET may change
};
const Fixture kFixtures[] = {
    {"want.chunks",
     "0 0123456789abcdef0123456789abcdef01234567\n"
     "1 89abcdef0123456789abcdef0123456789abcdef\n",
     false},
    {"data.bin", "the master data file\n", true},
    {"has.chunks", "0 0123456789abcdef0123456789abcdef01234567\n", true},
    {"master.chunks", "File: data.bin\nChunks:\n0 0123456789abcdef0123456789abcdef01234567\n",
     true},
};

std::string folder;
fz::Sink self;
fz::Sink other;

[[noreturn]] void broken(const char *what) {
    fprintf(stderr, "fuzz_user_input: %s\n", what);
    abort();
}

void require(bool ok, const char *what) {
    if (!ok) broken(what);
}

bool is_fixture(const char *name) {
    for (const Fixture &f : kFixtures)
        if (strcmp(name, f.name) == 0) return true;
    return false;
}

void make_folder() {
    folder = fz::temp_dir() + "/user-input";
    require(mkdir(folder.c_str(), 0700) == 0 && chdir(folder.c_str()) == 0,
            "cannot make the working folder");
    for (const Fixture &f : kFixtures) {
        require(fz::write_file(f.name, f.contents, strlen(f.contents)), "cannot write a fixture");
        fz::remove_at_exit(folder + "/" + f.name);
    }
    fz::remove_at_exit(folder);
    self = fz::open_sink();
    other = fz::open_sink();
}

// Removes what a GET created, and checks that the peer's own files are as they were. A request's
// hash file may be a GET's output (its lines are read before the output is created): it is
// written anew.
void clean_folder() {
    DIR *d = opendir(".");
    require(d != nullptr, "the working folder is gone");
    std::vector<std::string> created;
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        if (!is_fixture(e->d_name)) created.push_back(e->d_name);
    }
    closedir(d);
    for (const std::string &name : created) {
        require(name.size() <= 120, "a file whose name no GET could have given");
        unlink(name.c_str());
    }
    for (const Fixture &f : kFixtures) {
        struct stat st;
        if (!f.own) {
            require(fz::write_file(f.name, f.contents, strlen(f.contents)), "cannot restore");
            continue;
        }
        require(stat(f.name, &st) == 0 && st.st_size == static_cast<off_t>(strlen(f.contents)),
                "one of the peer's own files was changed");
    }
}

void start_config(bt_config_t *config) {
    bt_init(config, 0, nullptr);
    config->identity = 1;
    config->max_tx_chunks = -1;
    config->sock = self.fd;
    snprintf(config->chunk_data_file, sizeof config->chunk_data_file, "data.bin");
    snprintf(config->has_chunk_file, sizeof config->has_chunk_file, "has.chunks");
    snprintf(config->chunk_file, sizeof config->chunk_file, "master.chunks");
    fz::add_peer(config, 2, other.port);
    fz::add_peer(config, 1, self.port);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (folder.empty()) make_folder();
    // More held bytes than the limit without a newline end the process: not offered.
    if (size == 0 || size - 1 > USERBUF_FULL_LIMIT) return 0;
    size_t piece = static_cast<size_t>(data[0]) + 1;
    std::string typed(reinterpret_cast<const char *>(data + 1), size - 1);
    for (char &c : typed)
        if (c == '/') c = '_';

    int fds[2];
    require(pipe(fds) == 0, "no pipe");
    user_iobuf *userbuf = create_userbuf();
    require(userbuf != nullptr, "no buffer");
    bt_config_t config;
    start_config(&config);
    for (size_t at = 0; at < typed.size(); at += piece) {
        size_t n = typed.size() - at < piece ? typed.size() - at : piece;
        require(write(fds[1], typed.data() + at, n) == static_cast<ssize_t>(n), "short pipe write");
        process_user_input(fds[0], userbuf, handle_user_input, &config);
        require(!userbuf->at_eof, "end of input before the pipe was closed");
    }
    close(fds[1]);
    // All that is left fits one read; the next one sees the end.
    for (int reads = 0; reads < 2 && !userbuf->at_eof; reads++)
        process_user_input(fds[0], userbuf, handle_user_input, &config);
    require(userbuf->at_eof, "the end of the input was not seen");
    require(userbuf->cur <= USERBUF_FULL_LIMIT, "more held than the buffer allows");
    close(fds[0]);
    free(userbuf->buf);
    free(userbuf);
    fz::free_config(&config);
    clean_folder();
    return 0;
}
