#include "fuzz/fuzz_support.h"

#include <sys/mman.h>

#include <cassert>
#include <random>
#include <vector>

#include "engine/peer.h"

namespace fz {

// ---- files -----------------------------------------------------------------------------------

static std::vector<std::string> &exit_removals() {
    static std::vector<std::string> paths;
    return paths;
}

static void remove_registered() {
    // Files first (in reverse order of registration), the folder last.
    auto &paths = exit_removals();
    for (size_t i = paths.size(); i-- > 0;) remove(paths[i].c_str());
}

const std::string &temp_dir() {
    static std::string dir;
    if (dir.empty()) {
        const char *base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/p2p-fuzz-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) {
            perror("mkdtemp");
            abort();
        }
        dir = buf.data();
        exit_removals().push_back(dir);
        atexit(remove_registered);
    }
    return dir;
}

void remove_at_exit(const std::string &path) {
    temp_dir();
    exit_removals().push_back(path);
}

bool write_file(const std::string &path, const void *bytes, size_t n) {
    FILE *f = fopen(path.c_str(), "w");
    if (!f) return false;
    bool ok = fwrite(bytes, 1, n, f) == n;
    return fclose(f) == 0 && ok;
}

MemFile open_memfile(const char *name) {
    int fd = memfd_create(name, 0);
    if (fd < 0) {
        perror("memfd_create");
        abort();
    }
    return MemFile{fd, "/proc/self/fd/" + std::to_string(fd)};
}

bool refill(const MemFile &file, const void *bytes, size_t n) {
    if (ftruncate(file.fd, 0) != 0) return false;
    return pwrite(file.fd, bytes, n, 0) == static_cast<ssize_t>(n);
}

std::string seeded_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

// ---- sockets and configurations --------------------------------------------------------------

struct sockaddr_in loopback(uint16_t port) {
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

Sink open_sink() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a = loopback(0);
    if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0) {
        perror("sink socket");
        abort();
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&a), &len);
    return Sink{fd, ntohs(a.sin_port)};
}

bt_peer_t *add_peer(bt_config_t *config, short id, uint16_t port) {
    auto *p = static_cast<bt_peer_t *>(calloc(1, sizeof(bt_peer_t)));
    assert(p);
    p->id = id;
    p->addr = loopback(port);
    p->next = config->peers;
    config->peers = p;
    return p;
}

void free_config(bt_config_t *config) {
    releaseConfiguration(config);
}

}  // namespace fz
