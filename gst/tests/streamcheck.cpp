// SPDX-License-Identifier: MIT
// streamcheck FILE PACKETLENGTH [--from-any]: whether FILE holds whole packets of the simulated camera's
// stream, consecutive and bit-exact (simcam_fill_packet), from packet 0 or, with --from-any, from
// whichever packet it starts with. Prints the count; exit status 0 when they are, 1 otherwise.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "simcam.h"
#include "tests/support/stream.h"

int main(int argc, char** argv) {
  if (argc < 3 || (argc == 4 && std::strcmp(argv[3], "--from-any") != 0) || argc > 4) {
    std::fprintf(stderr, "usage: streamcheck FILE PACKETLENGTH [--from-any]\n");
    return 2;
  }
  const int length = std::atoi(argv[2]);
  FILE* f = std::fopen(argv[1], "rb");
  if (!f || length < 8) {
    std::fprintf(stderr, "streamcheck: cannot read %s\n", argv[1]);
    return 2;
  }
  std::vector<uint8_t> packet(static_cast<size_t>(length));
  size_t got = std::fread(packet.data(), 1, packet.size(), f);
  const uint64_t first = argc == 4 && got >= vtest::sequencebytes ? vtest::packetsequence(packet.data()) : 0;
  vtest::StreamCheck check(length, simcam_fill_packet, first);
  std::string why;
  while (got > 0 && why.empty()) {
    why = check.feed(packet.data(), got);
    got = std::fread(packet.data(), 1, packet.size(), f);
  }
  std::fclose(f);
  if (why.empty() && !check.atboundary()) why = "the file ends inside a packet";
  if (why.empty() && check.packets() == 0) why = "the file holds no packet";
  if (!why.empty()) {
    std::fprintf(stderr, "streamcheck %s: %s\n", argv[1], why.c_str());
    return 1;
  }
  std::printf("%llu packets from %llu\n", static_cast<unsigned long long>(check.packets()),
              static_cast<unsigned long long>(first));
  return 0;
}
