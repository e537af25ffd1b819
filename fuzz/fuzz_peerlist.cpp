// Fuzz target: the peer list. The input is the file. A usable list gives one record per line
// that is neither blank nor a comment; an unusable one is reported with one line of text,
// without ending the process.
#include <netdb.h>
#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/bt_parse.h"
#include "fuzz/fuzz_support.h"

// Host names would go to the system's resolver, and from there to the network: in this process
// dotted addresses and "localhost" are answered here, every other name does not resolve.
extern "C" struct hostent *gethostbyname(const char *name) {
    static struct in_addr address;
    static char *addresses[] = {reinterpret_cast<char *>(&address), nullptr};
    static char *no_aliases[] = {nullptr};
    static struct hostent entry;
    if (strcmp(name, "localhost") == 0) {
        address.s_addr = htonl(INADDR_LOOPBACK);
    } else if (inet_aton(name, &address) == 0) {
        return nullptr;
    }
    entry.h_name = const_cast<char *>(name);
    entry.h_aliases = no_aliases;
    entry.h_addrtype = AF_INET;
    entry.h_length = sizeof address;
    entry.h_addr_list = addresses;
    return &entry;
}

namespace {

[[noreturn]] void broken(const char *what) {
    fprintf(stderr, "fuzz_peerlist: %s\n", what);
    abort();
}

void require(bool ok, const char *what) {
    if (!ok) broken(what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const fz::MemFile file = fz::open_memfile("nodes.map");
    if (!fz::refill(file, data, size)) return 0;
    bt_config_t config;
    bt_init(&config, 0, nullptr);
    snprintf(config.peer_list_file, sizeof config.peer_list_file, "%s", file.path.c_str());
    char error[BT_PEER_LIST_ERROR_LEN];
    error[0] = '\0';
    int records = 0;
    if (bt_read_peer_list(&config, error, sizeof error) != 0) {
        size_t len = strnlen(error, sizeof error);
        require(len > 0 && len < sizeof error - 1, "a failure without its whole message");
        require(strncmp(error, "bt_parse error:  ", 17) == 0 && error[len - 1] == '\n' &&
                    memchr(error, '\n', len - 1) == nullptr,
                "a failure message that is not one line of the peer's");
    }
    for (const bt_peer_t *p = config.peers; p; p = p->next) {
        require(p->addr.sin_family == AF_INET, "a record without an address");
        records++;
    }
    // Each record takes at least "1a 1" of the file.
    require(records <= static_cast<int>(size / 4) + 1, "more records than the file has lines");
    while (config.peers) {
        bt_peer_t *next = config.peers->next;
        free(config.peers);
        config.peers = next;
    }
    return 0;
}
