#pragma once
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace tamrik::gps::testing {

using Bytes = std::vector<std::uint8_t>;

// A whole UBX frame with a correct checksum around the payload.
inline Bytes ubxFrame(std::uint8_t cls, std::uint8_t id, const Bytes& payload) {
  Bytes f{0xB5, 0x62, cls, id, static_cast<std::uint8_t>(payload.size() & 0xFF),
          static_cast<std::uint8_t>(payload.size() >> 8)};
  f.insert(f.end(), payload.begin(), payload.end());
  std::uint8_t a = 0, b = 0;
  for (std::size_t i = 2; i < f.size(); ++i) {
    a = static_cast<std::uint8_t>(a + f[i]);
    b = static_cast<std::uint8_t>(b + a);
  }
  f.push_back(a);
  f.push_back(b);
  return f;
}

inline Bytes join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Little-endian field of `size` bytes; the payload is already long enough.
inline void put(Bytes& p, std::size_t at, std::uint32_t v, int size) {
  for (int i = 0; i < size; ++i) p.at(at + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(v >> (8 * i));
}

struct PvtFields {
  int year = 2025, month = 3, day = 7, hour = 8, minute = 5, second = 9;
  std::uint8_t valid = 0x07;
  std::int32_t nano = 0, lat = 514778000, lon = -14000, height = 45610;
};

inline Bytes navPvtPayload(const PvtFields& f, std::size_t size = 92) {
  Bytes p(92);
  put(p, 4, static_cast<std::uint32_t>(f.year), 2);
  p[6] = static_cast<std::uint8_t>(f.month);
  p[7] = static_cast<std::uint8_t>(f.day);
  p[8] = static_cast<std::uint8_t>(f.hour);
  p[9] = static_cast<std::uint8_t>(f.minute);
  p[10] = static_cast<std::uint8_t>(f.second);
  p[11] = f.valid;
  put(p, 16, static_cast<std::uint32_t>(f.nano), 4);
  put(p, 24, static_cast<std::uint32_t>(f.lon), 4);
  put(p, 28, static_cast<std::uint32_t>(f.lat), 4);
  put(p, 32, static_cast<std::uint32_t>(f.height), 4);
  p.resize(size);
  return p;
}

struct SvBlock {
  std::uint8_t chn, flags, cno;
  std::int8_t elev;
};

inline Bytes navSvInfoPayload(const std::vector<SvBlock>& blocks) {
  Bytes p(8 + 12 * blocks.size());
  p[4] = static_cast<std::uint8_t>(blocks.size());
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    p[8 + 12 * i] = blocks[i].chn;
    p[10 + 12 * i] = blocks[i].flags;
    p[12 + 12 * i] = blocks[i].cno;
    p[13 + 12 * i] = static_cast<std::uint8_t>(blocks[i].elev);
  }
  return p;
}

inline Bytes navClockPayload(std::int32_t clkD, std::uint32_t fAcc) {
  Bytes p(20);
  put(p, 8, static_cast<std::uint32_t>(clkD), 4);
  put(p, 16, fAcc, 4);
  return p;
}

inline Bytes navTimeUtcPayload(std::int32_t nano, std::uint8_t valid) {
  Bytes p(20);
  put(p, 8, static_cast<std::uint32_t>(nano), 4);
  put(p, 12, 2025, 2);
  p[14] = 3;
  p[15] = 7;
  p[16] = 8;
  p[17] = 5;
  p[18] = 9;
  p[19] = valid;
  return p;
}

// The folder of the real receiver captures, or empty when it is not there.
inline std::filesystem::path captureFolder() {
  const std::filesystem::path dir = std::filesystem::path(TAMRIK_SHARED_DIR) / "data" / "ubx";
  return std::filesystem::is_directory(dir) ? dir : std::filesystem::path();
}

inline Bytes readFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace tamrik::gps::testing
