// Fuzz target: the sealing layer's open. The first input byte picks the case:
//   even: the rest is a received datagram, opened as coming from a listed peer; nothing that was
//         not sealed with the key may open, and nothing may grow the receiver's sender table;
//   odd:  the rest, past three control bytes (where, what to XOR, how much to cut), is a peer's
//         datagram, sealed with the key and then changed as those bytes say; it opens to exactly
//         what was sealed when left whole and unchanged, is dropped otherwise, and opens only once.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "shim/seal.h"

namespace {

[[noreturn]] void broken(const char *what) {
    fprintf(stderr, "fuzz_seal: %s\n", what);
    abort();
}

void require(bool ok, const char *what) {
    if (!ok) broken(what);
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

struct Pair {
    seal_state_t *sender;
    seal_state_t *receiver;
};

// One sender and one receiver of one swarm for the whole run.
Pair &pair() {
    static Pair p = [] {
        seal_key_t key;
        memset(key.bytes, 0x26, sizeof key.bytes);
        sockaddr_in a = loopback(41001), b = loopback(41002);
        Pair made{seal_new(&key, &a), seal_new(&key, &b)};
        require(made.sender && made.receiver, "libsodium did not start");
        return made;
    }();
    return p;
}

void open_raw(const uint8_t *data, size_t size) {
    seal_state_t *b = pair().receiver;
    size_t known = b->senders.size();
    std::vector<uint8_t> plain(2048);
    sockaddr_in from = loopback(41001);
    require(seal_open(b, data, size, &from, plain.data(), plain.size()) < 0,
            "a datagram not sealed with the key opened");
    require(b->senders.size() == known, "a datagram without the key made sender state");
}

void open_changed(const uint8_t *data, size_t size) {
    if (size < 3) return;
    Pair &p = pair();
    const uint8_t where = data[0], flip = data[1], cut = data[2];
    sockaddr_in a = loopback(41001), b = loopback(41002);
    size_t len = size - 3;
    std::vector<uint8_t> sealed(len + SEAL_OVERHEAD);
    require(seal_datagram(p.sender, data + 3, len, &b, sealed.data(), sealed.size()) ==
                static_cast<ssize_t>(sealed.size()),
            "a datagram did not seal");
    sealed[where % sealed.size()] ^= flip;
    size_t keep = sealed.size() - (cut % 4 == 0 ? cut / 4 % sealed.size() : 0);
    std::vector<uint8_t> plain(len + 1);
    int opened = seal_open(p.receiver, sealed.data(), keep, &a, plain.data(), plain.size());
    if (flip != 0 || keep != sealed.size()) {
        require(opened < 0, "a changed or cut datagram opened");
        return;
    }
    require(opened == static_cast<int>(len) && memcmp(plain.data(), data + 3, len) == 0,
            "a whole datagram did not open to what was sealed");
    require(seal_open(p.receiver, sealed.data(), keep, &a, plain.data(), plain.size()) < 0,
            "a datagram opened twice");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 1600) return 0;
    if (data[0] % 2 == 0) {
        open_raw(data + 1, size - 1);
    } else {
        open_changed(data + 1, size - 1);
    }
    return 0;
}
