#include "shim/seal.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "config/debug.h"
#include "support/why.h"

seal_state_t *gpSeal = nullptr;

// The direction a datagram is sealed for, authenticated beside the header: source address and
// port, destination address and port, each as stored (network order).
constexpr size_t DIRECTION_BYTES = 12;
constexpr size_t AD_BYTES = SEAL_HEADER_SIZE + DIRECTION_BYTES;
// BLAKE2b's personalisation strings, one per suite: the two subkeys of a sender never coincide.
constexpr unsigned char PERSONAL_AES[crypto_generichash_blake2b_PERSONALBYTES] = {
    't', 'o', 'l', 'v', 'a', 'n', 'e', ' ', 's', 'e', 'a', 'l', ' ', 'a', 'e', 's'};
constexpr unsigned char PERSONAL_XCHACHA[crypto_generichash_blake2b_PERSONALBYTES] = {
    't', 'o', 'l', 'v', 'a', 'n', 'e', ' ', 's', 'e', 'a', 'l', ' ', 'x', 'c', 'h'};
static_assert(crypto_generichash_blake2b_SALTBYTES == SEAL_SENDER_ID_BYTES);
static_assert(crypto_aead_aes256gcm_ABYTES == SEAL_TAG_BYTES);
static_assert(crypto_aead_xchacha20poly1305_ietf_ABYTES == SEAL_TAG_BYTES);
static_assert(crypto_aead_aes256gcm_KEYBYTES == SEAL_KEY_BYTES);
static_assert(crypto_aead_xchacha20poly1305_ietf_KEYBYTES == SEAL_KEY_BYTES);
// Both nonces begin with the counter, the rest zero: a key never meets a counter twice.
static_assert(crypto_aead_aes256gcm_NPUBBYTES >= 8);
static_assert(crypto_aead_xchacha20poly1305_ietf_NPUBBYTES >= 8);

// ---- byte order and small helpers ----------------------------------------------------------

static void put_be64(uint8_t *out, uint64_t v) {
    for (int i = 7; i >= 0; i--) {
        out[i] = static_cast<uint8_t>(v & 0xff);
        v >>= 8;
    }
}

static uint64_t get_be64(const uint8_t *in) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v = (v << 8) | in[i];
    return v;
}

static uint16_t get_be16(const uint8_t *in) {
    return static_cast<uint16_t>((in[0] << 8) | in[1]);
}

static uint64_t addr_port_key(uint32_t addr, uint16_t port) {
    return (static_cast<uint64_t>(addr) << 16) | port;
}

static uint64_t id_key(const uint8_t *id) {
    uint64_t v;
    memcpy(&v, id, sizeof v);
    return v;
}

// libsodium's one-time start; false when it cannot (no entropy source).
static bool sodium_ready() {
    static int state = 0;  // 0 not tried, 1 ready, -1 failed
    if (state == 0) state = sodium_init() >= 0 ? 1 : -1;
    return state == 1;
}

// ---- keys -----------------------------------------------------------------------------------

// The keys of the sender with this id: BLAKE2b keyed with the swarm key, salted with the id and
// personalised per suite, as a KDF. The AES key is expanded only where the CPU runs it.
static void derive_keys(const seal_key_t *swarm, const uint8_t *id, bool has_aes,
                        seal_keys_t *out) {
    uint8_t sub[SEAL_KEY_BYTES];
    out->has_aes = has_aes;
    if (has_aes) {
        crypto_generichash_blake2b_salt_personal(sub, sizeof sub, nullptr, 0, swarm->bytes,
                                                 sizeof swarm->bytes, id, PERSONAL_AES);
        crypto_aead_aes256gcm_beforenm(&out->aes, sub);
    }
    crypto_generichash_blake2b_salt_personal(out->xchacha, sizeof out->xchacha, nullptr, 0,
                                             swarm->bytes, sizeof swarm->bytes, id,
                                             PERSONAL_XCHACHA);
    sodium_memzero(sub, sizeof sub);
}

seal_state_t *seal_new(const seal_key_t *key, const struct sockaddr_in *self) {
    assert(key != nullptr && self != nullptr);
    if (!sodium_ready()) return nullptr;
    auto *s = new seal_state_t{};
    s->swarm = *key;
    randombytes_buf(s->id, sizeof s->id);
    derive_keys(&s->swarm, s->id, crypto_aead_aes256gcm_is_available() == 1, &s->own);
    s->self_addr = self->sin_addr.s_addr;
    s->self_port = self->sin_port;
    return s;
}

void seal_free(seal_state_t *s) {
    if (!s) return;
    sodium_memzero(&s->swarm, sizeof s->swarm);
    sodium_memzero(&s->own, sizeof s->own);
    for (seal_sender_t &r : s->senders) sodium_memzero(&r.keys, sizeof r.keys);
    delete s;
}

int seal_enable(const seal_key_t *key, const struct sockaddr_in *self) {
    seal_state_t *s = seal_new(key, self);
    if (!s) {
        fputs("seal: libsodium could not start; datagrams cannot be sealed\n", stderr);
        return -1;
    }
    seal_free(gpSeal);
    gpSeal = s;
    fprintf(stderr, "seal: every datagram sealed with the swarm key (%s)\n",
            s->own.has_aes ? "AES-256-GCM, XChaCha20-Poly1305 towards peers without AES"
                           : "XChaCha20-Poly1305");
    return 0;
}

long long seal_dropped(const seal_state_t *s) {
    const seal_counts_t &c = s->counts;
    return c.not_sealed + c.unsupported + c.failed + c.replayed + c.stale;
}

// ---- the AEAD -------------------------------------------------------------------------------

static void fill_direction(uint8_t *out, uint32_t src_addr, uint16_t src_port, uint32_t dst_addr,
                           uint16_t dst_port) {
    memcpy(out, &src_addr, 4);
    memcpy(out + 4, &src_port, 2);
    memcpy(out + 6, &dst_addr, 4);
    memcpy(out + 10, &dst_port, 2);
}

// Encrypts with the suite the header names; the tag follows the ciphertext.
static void encrypt(const seal_keys_t *k, const uint8_t *ad, const uint8_t *plain, size_t len,
                    uint8_t *out) {
    const auto *h = reinterpret_cast<const seal_envelope_t *>(ad);
    uint8_t nonce[crypto_aead_xchacha20poly1305_ietf_NPUBBYTES] = {};
    memcpy(nonce, h->counter, sizeof h->counter);
    unsigned long long n = 0;
    if (h->suite == SEAL_SUITE_AES256GCM) {
        crypto_aead_aes256gcm_encrypt_afternm(out, &n, plain, len, ad, AD_BYTES, nullptr, nonce,
                                              &k->aes);
    } else {
        crypto_aead_xchacha20poly1305_ietf_encrypt(out, &n, plain, len, ad, AD_BYTES, nullptr,
                                                   nonce, k->xchacha);
    }
}

// 0 when sealed[0..len) (ciphertext and tag) authenticates and plain holds its len - tag bytes.
static int decrypt(const seal_keys_t *k, const uint8_t *ad, const uint8_t *sealed, size_t len,
                   uint8_t *plain) {
    const auto *h = reinterpret_cast<const seal_envelope_t *>(ad);
    uint8_t nonce[crypto_aead_xchacha20poly1305_ietf_NPUBBYTES] = {};
    memcpy(nonce, h->counter, sizeof h->counter);
    unsigned long long n = 0;
    if (h->suite == SEAL_SUITE_AES256GCM) {
        return crypto_aead_aes256gcm_decrypt_afternm(plain, &n, nullptr, sealed, len, ad, AD_BYTES,
                                                     nonce, &k->aes);
    }
    return crypto_aead_xchacha20poly1305_ietf_decrypt(plain, &n, nullptr, sealed, len, ad, AD_BYTES,
                                                      nonce, k->xchacha);
}

// ---- the senders a receiver knows ------------------------------------------------------------

static seal_sender_t *find_sender(seal_state_t *s, const uint8_t *id) {
    auto it = s->by_id.find(id_key(id));
    if (it == s->by_id.end()) return nullptr;
    seal_sender_t *r = &s->senders[it->second];
    return memcmp(r->id, id, sizeof r->id) == 0 ? r : nullptr;
}

// Whether the peer at addr:port said, in the latest datagram that authenticated from there, that
// it opens AES-256-GCM.
static bool opens_aes(const seal_state_t *s, uint32_t addr, uint16_t port) {
    auto it = s->by_addr.find(addr_port_key(addr, port));
    return it != s->by_addr.end() && (s->senders[it->second].flags & SEAL_FLAG_OPENS_AES);
}

// The slot for a new sender: a fresh one below SEAL_SENDERS_MAX, else that of the sender heard
// from least recently, its index entries removed. A scan, but only when a key holder's new
// process appears with the table full.
static size_t free_slot(seal_state_t *s) {
    if (s->senders.size() < SEAL_SENDERS_MAX) {
        s->senders.emplace_back();
        return s->senders.size() - 1;
    }
    size_t oldest = 0;
    for (size_t i = 1; i < s->senders.size(); i++) {
        if (s->senders[i].last_use < s->senders[oldest].last_use) oldest = i;
    }
    seal_sender_t &r = s->senders[oldest];
    auto by_id = s->by_id.find(id_key(r.id));
    if (by_id != s->by_id.end() && by_id->second == oldest) s->by_id.erase(by_id);
    auto by_addr = s->by_addr.find(addr_port_key(r.addr, r.port));
    if (by_addr != s->by_addr.end() && by_addr->second == oldest) s->by_addr.erase(by_addr);
    return oldest;
}

static seal_sender_t *add_sender(seal_state_t *s, const seal_sender_t &fresh) {
    size_t at = free_slot(s);
    s->senders[at] = fresh;
    s->by_id[id_key(fresh.id)] = at;
    s->by_addr[addr_port_key(fresh.addr, fresh.port)] = at;
    return &s->senders[at];
}

// ---- the replay window -----------------------------------------------------------------------

static bool seen_bit(const seal_sender_t *r, uint64_t c) {
    uint64_t bit = c % SEAL_WINDOW;
    return (r->seen[bit / 64] >> (bit % 64)) & 1u;
}

static void set_bit(seal_sender_t *r, uint64_t c) {
    uint64_t bit = c % SEAL_WINDOW;
    r->seen[bit / 64] |= uint64_t{1} << (bit % 64);
}

// The drop reason of counter c from r before any decryption: 0 fresh, else the count to bump.
static long long *window_verdict(seal_state_t *s, const seal_sender_t *r, uint64_t c) {
    if (c > r->top) return nullptr;
    if (r->top - c >= SEAL_WINDOW) return &s->counts.stale;
    return seen_bit(r, c) ? &s->counts.replayed : nullptr;
}

// Takes counter c, which authenticated: a counter above the top moves the window, forgetting
// the counters it leaves behind (whole words at a time where it can).
static void window_take(seal_sender_t *r, uint64_t c) {
    if (c > r->top) {
        uint64_t moved = c - r->top;
        if (moved >= SEAL_WINDOW) {
            memset(r->seen, 0, sizeof r->seen);
        } else {
            for (uint64_t k = r->top + 1; k <= c; k++) {
                uint64_t bit = k % SEAL_WINDOW;
                if (bit % 64 == 0 && c - k >= 63) {
                    r->seen[bit / 64] = 0;
                    k += 63;
                } else {
                    r->seen[bit / 64] &= ~(uint64_t{1} << (bit % 64));
                }
            }
        }
        r->top = c;
    }
    set_bit(r, c);
}

// ---- seal ------------------------------------------------------------------------------------

static void say_spent(seal_state_t *s) {
    s->counts.refused_sends++;
    if (s->said_spent) return;
    s->said_spent = true;
    fputs("seal: this process has sealed 2^64 - 1 datagrams under its key; it sends no more\n",
          stderr);
}

ssize_t seal_datagram(seal_state_t *s, const void *plain, size_t len, const struct sockaddr_in *to,
                      uint8_t *out, size_t out_size) {
    assert(s != nullptr && to != nullptr && out != nullptr);
    if (len > SEAL_MAX_PLAIN || out_size < SEAL_OVERHEAD || out_size - SEAL_OVERHEAD < len) {
        errno = EMSGSIZE;
        return -1;
    }
    if (s->next_counter >= SEAL_COUNTER_LIMIT) {
        say_spent(s);
        errno = EOVERFLOW;
        return -1;
    }
    uint8_t ad[AD_BYTES];
    auto *h = reinterpret_cast<seal_envelope_t *>(ad);
    memset(h, 0, sizeof *h);
    h->magic[0] = static_cast<uint8_t>(SEAL_MAGIC >> 8);
    h->magic[1] = static_cast<uint8_t>(SEAL_MAGIC & 0xff);
    h->version = SEAL_VERSION;
    bool aes = s->own.has_aes && opens_aes(s, to->sin_addr.s_addr, to->sin_port);
    h->suite = aes ? SEAL_SUITE_AES256GCM : SEAL_SUITE_XCHACHA20POLY1305;
    h->flags = s->own.has_aes ? SEAL_FLAG_OPENS_AES : 0;
    memcpy(h->sender, s->id, sizeof h->sender);
    put_be64(h->counter, s->next_counter++);
    fill_direction(ad + SEAL_HEADER_SIZE, s->self_addr, s->self_port, to->sin_addr.s_addr,
                   to->sin_port);
    memcpy(out, h, SEAL_HEADER_SIZE);
    encrypt(&s->own, ad, static_cast<const uint8_t *>(plain), len, out + SEAL_HEADER_SIZE);
    return static_cast<ssize_t>(len + SEAL_OVERHEAD);
}

// ---- open ------------------------------------------------------------------------------------

static void name_drop(const struct sockaddr_in *from, const char *why) {
    if (!(debug & DEBUG_VEXLO)) return;  // per datagram: no formatting unless it is printed
    debug_log(DEBUG_VEXLO, "Vexlo dropped a sealed datagram from %s:%d: %s\n",
              inet_ntoa(from->sin_addr), ntohs(from->sin_port), why);
}

// A peer packet's header (magic 23517, version 1) where an envelope should be: a member started
// without the key. Said once, for the first such sender.
static void say_plain(seal_state_t *s, const uint8_t *in, size_t len,
                      const struct sockaddr_in *from) {
    if (s->said_plain || len < 3 || get_be16(in) != 23517 || in[2] != 1) return;
    s->said_plain = true;
    fprintf(stderr,
            "seal: %s:%d sends unsealed datagrams, as a peer started without this swarm's key "
            "does; they are dropped\n",
            inet_ntoa(from->sin_addr), ntohs(from->sin_port));
}

// An envelope from a sender never heard from that does not open: most likely a member holding
// another key. Said once; later ones are counted.
static void say_other_key(seal_state_t *s, const struct sockaddr_in *from) {
    if (s->said_other_key) return;
    s->said_other_key = true;
    fprintf(stderr,
            "seal: sealed datagrams from %s:%d do not open with this swarm's key: that peer "
            "holds another key, or they are forged; they are dropped\n",
            inet_ntoa(from->sin_addr), ntohs(from->sin_port));
}

static int drop(long long *count, const struct sockaddr_in *from, const char *why) {
    (*count)++;
    name_drop(from, why);
    return -1;
}

// Whether in[0..len) carries an envelope header this version reads, in a suite it can open.
static const char *header_fault(const seal_state_t *s, const uint8_t *in, size_t len) {
    if (len < SEAL_OVERHEAD) return "shorter than an envelope";
    if (get_be16(in) != SEAL_MAGIC) return "no envelope";
    const auto *h = reinterpret_cast<const seal_envelope_t *>(in);
    if (h->version != SEAL_VERSION || h->reserved[0] || h->reserved[1] || h->reserved[2])
        return "an envelope of another version";
    if (h->suite == SEAL_SUITE_XCHACHA20POLY1305) return nullptr;
    if (h->suite == SEAL_SUITE_AES256GCM && s->own.has_aes) return nullptr;
    return "a suite this host cannot open";
}

// The record of a sender heard from for the first time, made from fresh (whose keys opened its
// datagram) once that datagram has authenticated.
static seal_sender_t *remember_sender(seal_state_t *s, seal_sender_t *fresh,
                                      const seal_envelope_t *h, const struct sockaddr_in *from,
                                      uint64_t counter) {
    memcpy(fresh->id, h->sender, sizeof fresh->id);
    fresh->addr = from->sin_addr.s_addr;
    fresh->port = from->sin_port;
    fresh->top = counter;
    memset(fresh->seen, 0, sizeof fresh->seen);
    seal_sender_t *r = add_sender(s, *fresh);
    sodium_memzero(&fresh->keys, sizeof fresh->keys);
    return r;
}

int seal_open(seal_state_t *s, const uint8_t *in, size_t len, const struct sockaddr_in *from,
              void *plain, size_t plain_size) {
    assert(s != nullptr && from != nullptr && (in != nullptr || len == 0));
    if (const char *fault = header_fault(s, in, len)) {
        bool envelope = len >= SEAL_OVERHEAD && get_be16(in) == SEAL_MAGIC;
        if (!envelope) say_plain(s, in, len, from);
        return drop(envelope ? &s->counts.unsupported : &s->counts.not_sealed, from, fault);
    }
    size_t body = len - SEAL_HEADER_SIZE;
    if (body - SEAL_TAG_BYTES > plain_size)
        return drop(&s->counts.failed, from, "longer than the receive buffer");
    const auto *h = reinterpret_cast<const seal_envelope_t *>(in);
    uint64_t counter = get_be64(h->counter);
    seal_sender_t *known = find_sender(s, h->sender);
    if (long long *reason = known ? window_verdict(s, known, counter) : nullptr)
        return drop(reason, from,
                    reason == &s->counts.stale ? "older than the window" : "a replay");
    uint8_t ad[AD_BYTES];
    memcpy(ad, in, SEAL_HEADER_SIZE);
    fill_direction(ad + SEAL_HEADER_SIZE, from->sin_addr.s_addr, from->sin_port, s->self_addr,
                   s->self_port);
    // A new sender's keys are derived aside and kept only once its datagram authenticates:
    // datagrams without the key leave no state behind.
    static seal_sender_t fresh;
    if (!known) derive_keys(&s->swarm, h->sender, s->own.has_aes, &fresh.keys);
    const seal_keys_t *keys = known ? &known->keys : &fresh.keys;
    if (decrypt(keys, ad, in + SEAL_HEADER_SIZE, body, static_cast<uint8_t *>(plain)) != 0) {
        if (!known) {
            sodium_memzero(&fresh.keys, sizeof fresh.keys);
            say_other_key(s, from);
        }
        return drop(&s->counts.failed, from, "it does not authenticate");
    }
    if (!known) known = remember_sender(s, &fresh, h, from, counter);
    known->flags = h->flags;
    known->last_use = ++s->uses;
    window_take(known, counter);
    return static_cast<int>(body - SEAL_TAG_BYTES);
}

// ---- key files -------------------------------------------------------------------------------

int seal_random_key(seal_key_t *key) {
    if (!sodium_ready()) return -1;
    randombytes_buf(key->bytes, sizeof key->bytes);
    return 0;
}

static int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// True with *key from exactly SEAL_KEY_TEXT_LEN hex digits at text, then at most a newline.
static bool parse_key_text(const char *text, size_t len, seal_key_t *key) {
    if (len == SEAL_KEY_TEXT_LEN + 1 && text[SEAL_KEY_TEXT_LEN] == '\n') len--;
    if (len != SEAL_KEY_TEXT_LEN) return false;
    for (size_t i = 0; i < SEAL_KEY_BYTES; i++) {
        int hi = hex_value(text[2 * i]);
        int lo = hex_value(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        key->bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

int seal_read_key_file(const char *path, seal_key_t *key, char *why, size_t why_size) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return fail_why(why, why_size, "cannot read the key file %s: %s", path, strerror(errno));
    struct stat st;
    char text[SEAL_KEY_TEXT_LEN + 2];
    ssize_t n = -1;
    int fault = 0;  // 1 not a regular file, 2 open to others
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        fault = 1;
    } else if (st.st_mode & (S_IRWXG | S_IRWXO)) {
        fault = 2;
    } else {
        n = read(fd, text, sizeof text);
    }
    int saved = errno;
    close(fd);
    if (fault == 1)
        return fail_why(why, why_size, "the key file %s is not a regular file", path);
    if (fault == 2)
        return fail_why(why, why_size,
                           "the key file %s may be read or written by others (mode %04o); "
                           "chmod 600 it",
                           path, static_cast<unsigned>(st.st_mode & 07777));
    if (n < 0)
        return fail_why(why, why_size, "cannot read the key file %s: %s", path, strerror(saved));
    bool ok = parse_key_text(text, static_cast<size_t>(n), key);
    sodium_memzero(text, sizeof text);
    if (!ok)
        return fail_why(why, why_size,
                           "the key file %s does not hold a key: 64 hex digits on one line", path);
    return 0;
}

int seal_write_key_file(const char *path, const seal_key_t *key, char *why, size_t why_size) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return fail_why(why, why_size, "cannot create the key file %s: %s", path,
                           strerror(errno));
    char text[SEAL_KEY_TEXT_LEN + 1];
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < SEAL_KEY_BYTES; i++) {
        text[2 * i] = digits[key->bytes[i] >> 4];
        text[2 * i + 1] = digits[key->bytes[i] & 0xf];
    }
    text[SEAL_KEY_TEXT_LEN] = '\n';
    ssize_t n = write(fd, text, sizeof text);
    int saved = errno;
    sodium_memzero(text, sizeof text);
    bool ok = n == static_cast<ssize_t>(sizeof text) && fsync(fd) == 0;
    if (n >= 0 && n != static_cast<ssize_t>(sizeof text)) saved = ENOSPC;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok) return 0;
    unlink(path);
    return fail_why(why, why_size, "cannot write the key file %s: %s", path, strerror(saved));
}
