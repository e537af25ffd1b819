// The one line that lets a getter join a swarm: the swarm's digest, where to reach it, and
// optionally its sealing key, in text that a POSIX shell takes as one word without quoting.
//
// Grammar (ABNF, RFC 5234; the parser first drops surrounding whitespace and then reads letters
// of either case, so the checksum is computed over the text made lower case):
//
//   link      = "tlv1" "/d=" digest "/p=" entries [ "/k=" key ] "/c=" check
//   digest    = 52b32char                ; the 32-byte SHA-256 that names the swarm
//   key       = 52b32char                ; the 32-byte swarm key, when the link carries it
//   entries   = entry 0*15( "," entry )  ; 1 to 16 entry points
//   entry     = dec-octet "." dec-octet "." dec-octet "." dec-octet ":" port
//   dec-octet = "0" / %x31-39 0*2DIGIT   ; 0 to 255, no leading zero
//   port      = %x31-39 0*4DIGIT         ; 1 to 65535, no leading zero
//   check     = 8b32char                 ; the first 5 bytes of SHA-256 of every character
//                                        ; before "/c="
//   b32char   = %x61-7A / "2" / "3" / "4" / "5" / "6" / "7"
//
// Digest, key and check are base32 (RFC 4648 section 6) in lower case without padding; the unused
// low bits of a value's last character are zero.
//
// for example (one line):
//   tlv1/d=<52 characters>/p=192.0.2.7:41001,198.51.100.3:41002/k=<52 characters>/c=<8 characters>
//
// No entry point may be listed twice, and none may be 0.0.0.0.
//
// Every field is a tag letter, "=" and a value, fields joined by "/". A link whose version after
// "tlv" is above 1, or which passes its checksum but holds a field of another letter, was made by
// a newer tolvane and is refused as such. The characters used are [a-z0-9] and "/=.:,"; the
// whole link is at most LINK_MAX_LEN characters (about 480 at most in this version).
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ==== constants ==================================================================================

constexpr int LINK_VERSION = 1;
constexpr size_t LINK_MAX_LEN = 1024;     // characters, surrounding whitespace not counted
constexpr size_t LINK_MAX_ENTRIES = 16;   // entry points
constexpr size_t LINK_DIGEST_BYTES = 32;  // metadata_digest's SHA-256
constexpr size_t LINK_KEY_BYTES = 32;     // the swarm key (SEAL_KEY_BYTES)
constexpr size_t LINK_CHECK_BYTES = 5;    // of SHA-256 over the text before the checksum

// ==== records ====================================================================================

struct link_s {
    uint8_t digest[LINK_DIGEST_BYTES];       // names the swarm: SHA-256 of its metadata
    std::vector<struct sockaddr_in> entries;  // AF_INET, address and port in network order; 1 to 16
    bool has_key;                             // whether key holds the swarm key
    uint8_t key[LINK_KEY_BYTES];              // the sealing key; meaningful when has_key
};
typedef struct link_s link_t;

// ==== functions ==================================================================================

// The link's text, lower case, without a line end. l must hold 1 to LINK_MAX_ENTRIES entry
// points, each with a non-zero port (asserted).
std::string link_format(const link_t &l);
// Parses text (surrounding whitespace, such as a pasted line end, allowed) into *out. 0 on
// success; -1 with a one-line reason in why: not a link, made by a newer tolvane, mistyped or cut
// short (the checksum), a digest or key of the wrong length, a bad address or port, too many
// entry points, too long (*out then unspecified).
int link_parse(const char *text, link_t *out, char *why, size_t why_size);
// Whether text, past leading whitespace, starts as a link of any version does ("tlv" and a
// digit, in either case): how a command tells a link from a file name before parsing it.
bool link_looks_like(const char *text);
