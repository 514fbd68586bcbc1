#include "synth/window/settings_block.h"

#include "core/numbers/number_format.h"

namespace tamrik::synth {

namespace {

void put24(SettingsBlockBytes& block, std::size_t at, std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  block[at] = static_cast<std::uint8_t>(u & 0xFF);
  block[at + 1] = static_cast<std::uint8_t>((u >> 8) & 0xFF);
  block[at + 2] = static_cast<std::uint8_t>((u >> 16) & 0xFF);
}

std::uint8_t low8(std::int32_t v) { return static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) & 0xFF); }

}  // namespace

std::optional<SettingsBlockBytes> SettingsBlock(const DividerSettings& d) {
  const auto gps = core::toInt32Nearest(d.gps);
  const auto n31 = core::toInt32Nearest(d.n31 - 1);
  const auto n2hs = core::toInt32Nearest(d.n2_hs - 4);
  const auto n2ls = core::toInt32Nearest(d.n2_ls - 1);
  const auto n1hs = core::toInt32Nearest(d.n1_hs - 4);
  const auto nc1 = core::toInt32Nearest(d.nc1_ls - 1);
  const auto nc2 = core::toInt32Nearest(d.nc2_ls - 1);
  const auto bw = core::toInt32Nearest(d.bw);
  if (!gps || !n31 || !n2hs || !n2ls || !n1hs || !nc1 || !nc2 || !bw || *bw < 0 || *bw > 255) return std::nullopt;

  SettingsBlockBytes block{};
  put24(block, 0, *gps);
  put24(block, 3, *n31);
  block[6] = low8(*n2hs);
  put24(block, 7, *n2ls);
  block[10] = low8(*n1hs);
  put24(block, 11, *nc1);
  put24(block, 14, *nc2);
  block[17] = 0;
  block[18] = low8(*bw);
  return block;
}

}  // namespace tamrik::synth
