// Fuzz target: hash files and the master chunk file. The first input byte chooses the reader (bit
// 0: a master chunk file, whose first line names the master data file); the rest is the file.
// Every chunk read must come from a line of the form "<digits> <40 hex digits>", and the master
// data file's name must stay a terminated string of its field.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/bt_parse.h"
#include "engine/chunklist.h"
#include "engine/util.h"
#include "fuzz/fuzz_support.h"
#include "support/chunk.h"

namespace {

[[noreturn]] void broken(const char *what) {
    fprintf(stderr, "fuzz_hashfile: %s\n", what);
    abort();
}

void require(bool ok, const char *what) {
    if (!ok) broken(what);
}

// Whether text holds the line "<id> <hex of hash>" (ending in a newline, "\r\n" or the end).
// Hex digits may be of either case; text is the file with its letters made lower case.
bool has_line_for(const std::string &text, const chunkitem *item) {
    char hex[HASH_HEX_SIZE + 1];
    binary2hex(item->hash, HASH_SIZE, hex);
    std::string body = " " + std::string(hex);
    for (size_t at = text.find(body); at != std::string::npos; at = text.find(body, at + 1)) {
        size_t start = text.rfind('\n', at);
        start = start == std::string::npos ? 0 : start + 1;
        std::string digits = text.substr(start, at - start);
        size_t i = 0;
        while (i < digits.size() && digits[i] == '0') i++;
        std::string id = std::to_string(item->id);
        if (digits.empty() || digits.substr(i) != (item->id == 0 ? "" : id)) continue;
        if (digits.find_first_not_of("0123456789") != std::string::npos) continue;
        // The reader measures the hex digits up to a NUL byte, so one ends a line's text too.
        size_t end = at + body.size();
        if (end == text.size() || text[end] == '\n' || text[end] == '\0' ||
            (text[end] == '\r' && (end + 1 == text.size() || text[end + 1] == '\n')))
            return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const fz::MemFile file = fz::open_memfile("hashes");
    if (size == 0) return 0;
    int is_master = data[0] & 1;
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    if (!fz::refill(file, text.data(), text.size())) return 0;
    bt_config_t config;
    bt_init(&config, 0, nullptr);
    chunkitem *list = readHashesFromFile(file.path.c_str(), is_master, &config);
    require(memchr(config.chunk_data_file, '\0', sizeof config.chunk_data_file) != nullptr,
            "the master data file name runs past its field");
    // Header lines of a master file are not chunk lines; a later line may repeat them, though.
    std::string lowered = text;
    for (char &ch : lowered) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    for (const chunkitem *c = list; c; c = c->next) {
        require(c->id >= 0, "a negative chunk number");
        require(has_line_for(lowered, c), "a chunk that no line of the file names");
    }
    chunklist_free(list);
    return 0;
}
