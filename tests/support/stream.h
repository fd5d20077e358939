// SPDX-License-Identifier: MIT
// Checking what a reader gets of the camera stream, for every tier: the
// simulator's packets (simcam_fill_packet) or the emulated board's. Every
// packet opens with its 64-bit sequence number, little-endian; the packets of
// one opening are numbered 0, 1, 2, ...
#ifndef VANTORPI_TESTS_SUPPORT_STREAM_H
#define VANTORPI_TESTS_SUPPORT_STREAM_H

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/exports.h"

namespace vtest {

constexpr size_t sequencebytes = 8;

// The sequence number at the head of a packet.
inline uint64_t packetsequence(const uint8_t* packet) {
  uint64_t seq = 0;
  for (size_t i = sequencebytes; i-- > 0;) seq = seq << 8 | packet[i];
  return seq;
}

// Renders packet `seq` of `length` bytes.
using PacketFill = void (*)(uint64_t seq, uint8_t* packet, int length);

// The first n bytes of a stream cut into packets of packetlength bytes.
inline std::vector<uint8_t> streambytes(size_t n, int packetlength, PacketFill fill) {
  const size_t length = static_cast<size_t>(packetlength);
  std::vector<uint8_t> bytes((n + length - 1) / length * length);
  for (size_t at = 0, seq = 0; at < n; at += length, ++seq) fill(seq, bytes.data() + at, packetlength);
  bytes.resize(n);
  return bytes;
}

// Checks a byte stream, fed in pieces of any size, against the packets first,
// first + 1, ... of packetlength bytes: the sequence number of each, and the
// whole content of every packet whose number is a multiple of `every`.
class StreamCheck {
 public:
  StreamCheck(int packetlength, PacketFill fill, uint64_t first = 0, uint64_t every = 1)
      : expected(static_cast<size_t>(packetlength)), render(fill), seq(first), stride(every) {}

  // Empty while the bytes are the expected continuation, else the first
  // difference; after a difference nothing more is checked.
  std::string feed(const uint8_t* p, size_t n) {
    while (n > 0 && failure.empty()) {
      if (offset == 0) begin();
      const size_t k = std::min(n, expected.size() - offset);
      const size_t checked = whole ? k : offset < sequencebytes ? std::min(k, sequencebytes - offset) : 0;
      if (std::memcmp(p, expected.data() + offset, checked) != 0) {
        size_t i = 0;
        while (p[i] == expected[offset + i]) ++i;
        std::ostringstream why;
        why << "stream byte " << total + i << ": expected packet " << seq << " byte " << offset + i << " = "
            << int(expected[offset + i]) << ", got " << int(p[i]);
        failure = why.str();
        break;
      }
      p += k;
      n -= k;
      offset += k;
      total += k;
      if (offset == expected.size()) {
        offset = 0;
        ++seq;
        ++whole_packets;
        compared_packets += whole;
      }
    }
    return failure;
  }
  std::string feed(const std::vector<uint8_t>& bytes) { return feed(bytes.data(), bytes.size()); }
  std::string feed(const std::string& bytes) {
    return feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }

  const std::string& fault() const { return failure; }
  bool atboundary() const { return offset == 0; }
  uint64_t nextseq() const { return seq; }  // the packet under way, or the next one
  uint64_t packets() const { return whole_packets; }
  uint64_t compared() const { return compared_packets; }  // packets compared whole
  uint64_t bytes() const { return total; }

 private:
  void begin() {
    whole = stride <= 1 || seq % stride == 0;
    if (whole) {
      render(seq, expected.data(), static_cast<int>(expected.size()));
    } else {
      for (size_t i = 0; i < std::min(sequencebytes, expected.size()); ++i)
        expected[i] = static_cast<uint8_t>(seq >> (8 * i));
    }
  }

  std::vector<uint8_t> expected;  // the packet under way
  PacketFill render;
  uint64_t seq;
  uint64_t stride;
  bool whole = true;
  size_t offset = 0;
  uint64_t total = 0;
  uint64_t whole_packets = 0;
  uint64_t compared_packets = 0;
  std::string failure;
};

// Waits until at least n bytes wait in the FIFO of `lib` (linked or loaded);
// the count seen last.
inline int waitforbytes(const Exports& lib, int n,
                        std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int count = lib.ls_getpipe(nullptr, 0);
  while (count < n && std::chrono::steady_clock::now() < deadline) {
    lib.ls_waitforpipe(50);
    count = lib.ls_getpipe(nullptr, 0);
  }
  return count;
}

// Reads n bytes of the stream in pieces of the given sizes in turn, waiting
// while the FIFO is empty, and feeds them to the check. Empty on success,
// else what went wrong (a difference, a bad count, the deadline).
inline std::string readstream(const Exports& lib, StreamCheck& check, uint64_t n,
                              const std::vector<int>& pieces,
                              std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  std::vector<uint8_t> buf(static_cast<size_t>(*std::max_element(pieces.begin(), pieces.end())));
  const auto deadline = std::chrono::steady_clock::now() + limit;
  uint64_t done = 0;
  for (size_t i = 0; done < n; ++i) {
    if (std::chrono::steady_clock::now() > deadline)
      return "only " + std::to_string(done) + " of " + std::to_string(n) + " bytes arrived";
    const int want =
        static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(pieces[i % pieces.size()]), n - done));
    const int got = lib.ls_getpipe(buf.data(), want);
    if (got < 0 || got > want) return "ls_getpipe(" + std::to_string(want) + ") gave " + std::to_string(got);
    if (got == 0) {
      lib.ls_waitforpipe(100);
      continue;
    }
    const std::string why = check.feed(buf.data(), static_cast<size_t>(got));
    if (!why.empty()) return why;
    done += static_cast<uint64_t>(got);
  }
  return {};
}

}  // namespace vtest

#endif
