// The transfer protocol both programs compile in: its constants and the pure
// rules for names, size text and the block plan. Nothing here does I/O, so
// tests call every rule directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr std::uint16_t PORT = 8885;
inline constexpr std::size_t CTRL_LEN = 20;    // name and size datagrams
inline constexpr std::size_t BLOCK_SIZE = 503; // a full data datagram
inline constexpr const char* LOOPBACK = "127.0.0.1";
// Most full blocks ferry hands the kernel in one send (the most a send may
// be cut into on current kernels), and so the most wharf may receive
// coalesced at once: the two sides size buffers by it.
inline constexpr std::size_t BATCH_BLOCKS = 128;

// wharf never sends, but the kernel shows its socket to ferry (sock_diag):
// it marks the socket as wharf's with an IP_TOS no sending socket of its
// needs, connects to the sender whose name it takes, shuts down its sending
// side once the copy is prepared, and its receiving side too once the copy
// is in place and on disk.
inline constexpr std::uint8_t WHARF_MARK = 0x1c;
// While wharf puts the copy in place, its mark alternates with this one a
// few times a second: a wharf syncing a slow disk is still at work.
inline constexpr std::uint8_t WHARF_BEAT = 0x18;
inline constexpr bool is_wharf_mark(std::uint8_t tos) {
  return tos == WHARF_MARK || tos == WHARF_BEAT;
}
// ferry's socket receives nothing, so the size of its receive buffer is
// free to say whose it is, and the permission bits of the file it sends:
// asked as FERRY_MARK_ASKED plus the bits, the kernel keeps twice that,
// which wharf sees (sock_diag).
inline constexpr int FERRY_MARK_ASKED = 0x5000;
inline constexpr std::uint32_t FERRY_MARK = 2 * FERRY_MARK_ASKED;
constexpr int ferry_mark_for(unsigned mode) {
  return FERRY_MARK_ASKED + static_cast<int>(mode & 0777);
}
constexpr bool is_ferry_mark(std::uint32_t rcvbuf) {
  return rcvbuf >= FERRY_MARK && rcvbuf <= FERRY_MARK + 2 * 0777 && rcvbuf % 2 == 0;
}
constexpr unsigned ferry_mode(std::uint32_t rcvbuf) {
  return (rcvbuf - FERRY_MARK) / 2;
}
// The second socket with which ferry holds its port on every address
// sends nothing, and says so: a datagram queued from that port before
// ferry ran is no one's, not ferry's.
inline constexpr int FERRY_GUARD_ASKED = 0x4f00;
inline constexpr std::uint32_t FERRY_GUARD = 2 * FERRY_GUARD_ASKED;
inline constexpr std::uint8_t SHOWS_PREPARED = 2; // SEND_SHUTDOWN
inline constexpr std::uint8_t SHOWS_IN_PLACE = 3; // RCV_SHUTDOWN and SEND_SHUTDOWN

// A name travels with its NUL inside the 20-byte name datagram.
inline constexpr std::size_t NAME_MAX_LEN = CTRL_LEN - 1;
// The size travels as "%d" text, so files must stay below 2^31 bytes.
inline constexpr std::uint64_t SIZE_MAX_BYTES = 2147483647;

// The block plan: floor(S/503) full datagrams, then one of S mod 503 bytes
// (zero-length when S is a multiple of 503).
constexpr std::uint64_t full_blocks(std::uint64_t size) {
  return size / BLOCK_SIZE;
}
constexpr std::size_t final_length(std::uint64_t size) {
  return size % BLOCK_SIZE;
}

// Control characters (C0 and DEL) have no place in a file name or on the
// terminal that shows one.
constexpr bool is_control(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

// UTF-8's shape: a continuation byte (10xxxxxx), and how many bytes the
// sequence that a byte leads has (1 for ASCII and for bytes that lead none).
constexpr bool utf8_continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}
constexpr std::size_t utf8_length(char lead) {
  const auto b = static_cast<unsigned char>(lead);
  return b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
}

// Why a name may not be sent or written, or nullptr when it is fine: the
// copy must land in the receiver's own directory under a plain file name.
const char* name_problem(std::string_view name);

// The output name rule, in place: the character before each '.' becomes
// '1'. A character is a whole UTF-8 sequence where the bytes before the
// '.' end a valid one (résumé.txt -> résum1.txt), else one byte (a Latin-1
// caf\xE9.txt -> caf1.txt); a '.' in first place has nothing before it.
// `length` is at most NAME_MAX_LEN. Returns the output name's length, which
// may be less than `length`; the bytes after it up to `length` are zeroed.
std::size_t to_output_name(char* name, std::size_t length);

// The 20-byte control datagrams: text, NUL, zero fill.
struct ControlDatagram {
  char bytes[CTRL_LEN];
};
ControlDatagram name_datagram(std::string_view name); // name must pass name_problem
ControlDatagram size_datagram(std::uint64_t size);    // size <= SIZE_MAX_BYTES

// Reads a size datagram's text: 1 to 10 digits, a NUL, value at most
// SIZE_MAX_BYTES. Returns why it is refused, or nullptr with *size set.
const char* size_text_problem(std::string_view datagram, std::uint64_t* size);
