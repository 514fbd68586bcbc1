#include "core/ubx.h"

namespace tamrik::core {

namespace {

std::uint16_t u16(std::span<const std::uint8_t> p, std::size_t at) {
  return static_cast<std::uint16_t>(p[at] | (p[at + 1] << 8));
}

std::uint32_t u32(std::span<const std::uint8_t> p, std::size_t at) {
  return static_cast<std::uint32_t>(p[at]) | (static_cast<std::uint32_t>(p[at + 1]) << 8) |
         (static_cast<std::uint32_t>(p[at + 2]) << 16) | (static_cast<std::uint32_t>(p[at + 3]) << 24);
}

std::int32_t i32(std::span<const std::uint8_t> p, std::size_t at) { return static_cast<std::int32_t>(u32(p, at)); }

constexpr std::size_t kNavPvtNeeded = 36;      // up to height at offset 32
constexpr std::size_t kNavPvtAccuracies = 48;  // hMSL, hAcc and vAcc at 36 to 47
constexpr std::size_t kNavPvtDop = 78;          // pDOP at 76
constexpr std::size_t kNavTimeUtcNeeded = 20;  // up to valid at offset 19
constexpr std::size_t kNavClockNeeded = 20;    // up to fAcc at offset 16
constexpr std::size_t kNavTimeLsNeeded = 24;   // up to valid at offset 23
constexpr std::size_t kSvInfoHeader = 8;
constexpr std::size_t kSvInfoBlock = 12;

}  // namespace

void addToChecksum(MessageAssembler& a, std::uint8_t b) {
  a.ckA = static_cast<std::uint8_t>(a.ckA + b);
  a.ckB = static_cast<std::uint8_t>(a.ckB + a.ckA);
}

bool parseReceiverByte(MessageAssembler& a, std::uint8_t b) {
  switch (a.state) {
    case 0:
      a.state = b == kSync1 ? 1 : 0;
      return false;
    case 1:
      if (b == kSync2) {
        a.ckA = 0;
        a.ckB = 0;
        a.state = 2;
      } else {
        a.state = 0;
      }
      return false;
    case 2:
      if (b == 0xFF) {
        a.state = 0;
        return false;
      }
      addToChecksum(a, b);
      a.messageClass = b;
      a.state = 3;
      return false;
    case 3:
      if (b == 0xFF) {
        a.state = 0;
        return false;
      }
      addToChecksum(a, b);
      a.messageId = b;
      a.state = 4;
      return false;
    case 4:
      addToChecksum(a, b);
      a.length = b;
      a.state = 5;
      return false;
    case 5: {
      if (b == 0xFF) {
        a.state = 0;
        return false;
      }
      const unsigned declared = static_cast<unsigned>(b) * 256u + a.length;
      if (declared == 0 || declared > kPayloadCapacity) {
        a.state = 0;
        return false;
      }
      addToChecksum(a, b);
      a.length = static_cast<std::uint16_t>(declared);
      a.count = 0;
      a.state = 6;
      return false;
    }
    case 6:
      addToChecksum(a, b);
      a.payload[a.count] = b;
      ++a.count;
      if (a.count >= a.length) a.state = 7;
      return false;
    case 7:
      a.state = b == a.ckA ? 8 : 0;
      return false;
    case 8:
      a.state = 0;
      return b == a.ckB;
    default:
      a.state = 0;
      return false;
  }
}

std::optional<NavPvt> readNavPvt(std::span<const std::uint8_t> p) {
  if (p.size() < kNavPvtNeeded) return std::nullopt;
  NavPvt m;
  m.iTOW = u32(p, 0);
  m.year = u16(p, 4);
  m.month = p[6];
  m.day = p[7];
  m.hour = p[8];
  m.minute = p[9];
  m.second = p[10];
  m.valid = p[11];
  m.tAcc = u32(p, 12);
  m.nano = i32(p, 16);
  m.fixType = p[20];
  m.flags = p[21];
  m.numSV = p[23];
  m.lon = i32(p, 24);
  m.lat = i32(p, 28);
  m.height = i32(p, 32);
  if (p.size() >= kNavPvtAccuracies) {
    m.hMSL = i32(p, 36);
    m.hAcc = u32(p, 40);
    m.vAcc = u32(p, 44);
  }
  if (p.size() >= kNavPvtDop) m.pDOP = u16(p, 76);
  return m;
}

std::optional<NavSvInfo> NavSvInfo::read(std::span<const std::uint8_t> p) {
  if (p.size() < kSvInfoHeader) return std::nullopt;
  const std::size_t held = (p.size() - kSvInfoHeader) / kSvInfoBlock;
  const std::size_t announced = p[4];
  return NavSvInfo(p, static_cast<int>(announced < held ? announced : held));
}

SvChannel NavSvInfo::channel(int i) const {
  const std::size_t at = kSvInfoHeader + kSvInfoBlock * static_cast<std::size_t>(i);
  SvChannel c;
  c.chn = payload_[at];
  c.svid = payload_[at + 1];
  c.flags = payload_[at + 2];
  c.quality = payload_[at + 3];
  c.cno = payload_[at + 4];
  c.elev = static_cast<std::int8_t>(payload_[at + 5]);
  c.azim = static_cast<std::int16_t>(u16(payload_, at + 6));
  c.prRes = i32(payload_, at + 8);
  return c;
}

std::uint32_t NavSvInfo::iTOW() const { return u32(payload_, 0); }

std::optional<NavTimeUtc> readNavTimeUtc(std::span<const std::uint8_t> p) {
  if (p.size() < kNavTimeUtcNeeded) return std::nullopt;
  NavTimeUtc m;
  m.iTOW = u32(p, 0);
  m.tAcc = u32(p, 4);
  m.nano = i32(p, 8);
  m.year = u16(p, 12);
  m.month = p[14];
  m.day = p[15];
  m.hour = p[16];
  m.minute = p[17];
  m.second = p[18];
  m.valid = p[19];
  return m;
}

std::optional<NavTimeLs> readNavTimeLs(std::span<const std::uint8_t> p) {
  if (p.size() < kNavTimeLsNeeded) return std::nullopt;
  NavTimeLs m;
  m.iTOW = u32(p, 0);
  m.currLs = static_cast<std::int8_t>(p[9]);
  m.lsChange = static_cast<std::int8_t>(p[11]);
  m.timeToLsEvent = i32(p, 12);
  m.valid = p[23];
  return m;
}

std::optional<NavClock> readNavClock(std::span<const std::uint8_t> p) {
  if (p.size() < kNavClockNeeded) return std::nullopt;
  NavClock m;
  m.iTOW = u32(p, 0);
  m.clkB = i32(p, 4);
  m.clkD = i32(p, 8);
  m.tAcc = u32(p, 12);
  m.fAcc = u32(p, 16);
  return m;
}

std::optional<Diagnostic> readDiagnostic(std::uint8_t messageClass, std::uint8_t messageId,
                                         std::span<const std::uint8_t> p) {
  auto leading = [&](std::size_t n) { return std::vector<std::uint8_t>(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(n)); };
  if (messageClass == 0x02 && messageId == 0x52) {
    if (p.size() < 8) return std::nullopt;
    return Diagnostic{Diagnostic::Kind::Counter, p.size(), leading(4), i32(p, 4)};
  }
  if (messageClass == 0x0A && (messageId == 0x11 || messageId == 0x1B)) {
    return Diagnostic{Diagnostic::Kind::Length, p.size(), {}, 0};
  }
  if (messageClass == 0x0A && messageId == 0x1E) {
    if (p.size() < 21) return std::nullopt;
    return Diagnostic{Diagnostic::Kind::Bytes, p.size(), leading(21), 0};
  }
  return std::nullopt;
}

std::string_view messageName(std::uint8_t messageClass, std::uint8_t messageId) {
  struct Name {
    std::uint8_t messageClass, messageId;
    std::string_view name;
  };
  static constexpr Name kNames[] = {
      {0x01, 0x01, "NAV-POSECEF"}, {0x01, 0x02, "NAV-POSLLH"}, {0x01, 0x03, "NAV-STATUS"},  {0x01, 0x04, "NAV-DOP"},
      {0x01, 0x06, "NAV-SOL"},     {0x01, 0x07, "NAV-PVT"},    {0x01, 0x11, "NAV-VELECEF"}, {0x01, 0x12, "NAV-VELNED"},
      {0x01, 0x20, "NAV-TIMEGPS"}, {0x01, 0x21, "NAV-TIMEUTC"}, {0x01, 0x22, "NAV-CLOCK"},  {0x01, 0x26, "NAV-TIMELS"},
      {0x01, 0x30, "NAV-SVINFO"},  {0x01, 0x32, "NAV-SBAS"},   {0x01, 0x35, "NAV-SAT"},     {0x02, 0x13, "RXM-SFRBX"},
      {0x02, 0x15, "RXM-RAWX"},    {0x04, 0x00, "INF-ERROR"},  {0x04, 0x01, "INF-WARNING"}, {0x04, 0x02, "INF-NOTICE"},
      {0x04, 0x03, "INF-TEST"},    {0x04, 0x04, "INF-DEBUG"},  {0x05, 0x00, "ACK-NAK"},     {0x05, 0x01, "ACK-ACK"},
      {0x06, 0x00, "CFG-PRT"},     {0x06, 0x01, "CFG-MSG"},    {0x06, 0x02, "CFG-INF"},     {0x06, 0x04, "CFG-RST"},
      {0x06, 0x06, "CFG-DAT"},     {0x06, 0x08, "CFG-RATE"},   {0x06, 0x09, "CFG-CFG"},     {0x06, 0x11, "CFG-RXM"},
      {0x06, 0x13, "CFG-ANT"},     {0x06, 0x16, "CFG-SBAS"},   {0x06, 0x17, "CFG-NMEA"},    {0x06, 0x1B, "CFG-USB"},
      {0x06, 0x23, "CFG-NAVX5"},   {0x06, 0x24, "CFG-NAV5"},   {0x06, 0x31, "CFG-TP5"},     {0x06, 0x34, "CFG-RINV"},
      {0x06, 0x39, "CFG-ITFM"},    {0x06, 0x3B, "CFG-PM2"},    {0x06, 0x3D, "CFG-TMODE2"},  {0x06, 0x3E, "CFG-GNSS"},
      {0x06, 0x57, "CFG-PWR"},     {0x06, 0x71, "CFG-TMODE3"}, {0x06, 0x86, "CFG-PMS"},     {0x06, 0x8A, "CFG-VALSET"},
      {0x06, 0x8B, "CFG-VALGET"},  {0x06, 0x8C, "CFG-VALDEL"}, {0x09, 0x14, "UPD-SOS"},     {0x0A, 0x02, "MON-IO"},
      {0x0A, 0x04, "MON-VER"},     {0x0A, 0x06, "MON-MSGPP"},  {0x0A, 0x07, "MON-RXBUF"},   {0x0A, 0x08, "MON-TXBUF"},
      {0x0A, 0x09, "MON-HW"},      {0x0A, 0x0B, "MON-HW2"},    {0x0A, 0x21, "MON-RXR"},     {0x0A, 0x28, "MON-GNSS"},
      {0x0A, 0x36, "MON-COMMS"},   {0x0A, 0x37, "MON-HW3"},    {0x0A, 0x38, "MON-RF"},      {0x0D, 0x01, "TIM-TP"},
      {0x0D, 0x03, "TIM-TM2"},     {0x0D, 0x04, "TIM-SVIN"},   {0x0D, 0x06, "TIM-VRFY"},    {0x27, 0x03, "SEC-UNIQID"},
  };
  for (const Name& n : kNames) {
    if (n.messageClass == messageClass && n.messageId == messageId) return n.name;
  }
  return {};
}

std::string_view constellationName(Constellation c) {
  switch (c) {
    case Constellation::Gps: return "gps";
    case Constellation::Sbas: return "sbas";
    case Constellation::Galileo: return "galileo";
    case Constellation::BeiDou: return "beidou";
    case Constellation::Imes: return "imes";
    case Constellation::Qzss: return "qzss";
    case Constellation::Glonass: return "glonass";
    case Constellation::Other: return "other";
  }
  return "other";
}

Constellation constellationOf(std::uint8_t svid) {
  if (svid >= 1 && svid <= 32) return Constellation::Gps;
  if ((svid >= 33 && svid <= 64) || (svid >= 159 && svid <= 163)) return Constellation::BeiDou;
  if ((svid >= 65 && svid <= 96) || svid == 255) return Constellation::Glonass;
  if (svid >= 120 && svid <= 158) return Constellation::Sbas;
  if (svid >= 173 && svid <= 182) return Constellation::Imes;
  if (svid >= 193 && svid <= 197) return Constellation::Qzss;
  if (svid >= 211 && svid <= 246) return Constellation::Galileo;
  return Constellation::Other;
}

}  // namespace tamrik::core
