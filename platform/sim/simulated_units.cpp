#include "platform/sim/simulated_units.h"

#include <algorithm>
#include <cmath>
#include <deque>

namespace tamrik::sim {

using platform::DeviceHandle;

namespace {

constexpr std::size_t kFifoCapacity = 4096;  // the firmware's receive buffer; overflow loses new bytes
constexpr std::uint8_t kNoSignal = 0x01;
constexpr std::uint8_t kNoLock = 0x02;
constexpr std::uint8_t kReceiverBytes = 0x80;

std::string pathSafe(std::u16string_view serial) {
  std::string s;
  for (char16_t c : serial) {
    const auto b = static_cast<unsigned char>(c & 0xFF);
    s.push_back(b > 0x20 && b < 0x7F && b != '#' ? static_cast<char>(b) : '_');
  }
  return s.empty() ? "_" : s;
}

}  // namespace

std::u16string toUtf16(std::string_view ascii) {
  std::u16string s;
  for (char c : ascii) s.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return s;
}

std::string lowBytes(std::u16string_view text) {
  std::string s;
  for (char16_t c : text) s.push_back(static_cast<char>(c & 0xFF));
  return s;
}

std::uint8_t UnitView::rate(std::uint8_t cls, std::uint8_t id) const {
  auto it = receiverRates.find(static_cast<std::uint16_t>((cls << 8) | id));
  return it == receiverRates.end() ? 0 : it->second;
}

struct SimulatedUnits::Report {
  std::vector<std::uint8_t> bytes;
  bool carriesCapture = false;
  bool delivered = false;
};

struct SimulatedUnits::Handle {
  UnitId unit = 0;
  int attachment = 0;
  std::deque<std::shared_ptr<Report>> queue;
  std::string lastError;  // why the latest request that failed, failed, as the system would say it
  bool unanswered = false;  // and whether it failed by waiting out its bound
};

struct SimulatedUnits::Unit {
  Unit(UnitId i, UnitConfig c, SimClock& clock)
      : id(i),
        config(std::move(c)),
        firmware(config.firmwareVersion, config.relockDelay, config.pllStartup),
        receiver(config.receiver, clock),
        byteTime(std::chrono::nanoseconds(10'000'000'000LL / std::max(config.lineBaud, 1))),
        tickInterval(std::chrono::nanoseconds(std::llround(
            static_cast<double>(std::chrono::nanoseconds(config.reportInterval).count()) * (1 + config.hostClockPpm * 1e-6)))),
        faultRng(config.receiver.seed ^ 0x5EEDu) {}

  struct Segment {
    SteadyTime start;
    std::vector<std::uint8_t> bytes;
    std::size_t taken = 0;
  };

  UnitId id;
  UnitConfig config;
  FirmwareModel firmware;
  KeptUnitState lastKept;  // as the store holds it, or as the unit started
  ReceiverModel receiver;
  std::chrono::nanoseconds byteTime;
  std::chrono::nanoseconds tickInterval;  // the report cadence on the host's clock
  std::deque<EpochBurst> bursts;

  bool attached = false;
  int attachments = 0;
  std::string path;
  std::uint64_t reattachToken = 0;

  std::deque<Segment> line;  // receiver bytes on their way to the firmware, paced by the baud rate
  SteadyTime lineFreeAt{};
  std::deque<std::uint8_t> fifo;  // received, not yet sent in a report
  SteadyTime lastArrival{};
  SteadyTime nextTick{};

  std::size_t replayPos = 0;
  bool replayStarted = false;
  SteadyTime replayStart{};

  bool stalled = false;
  double flipP = 0;
  double dropP = 0;
  std::mt19937 faultRng;
  std::uint8_t lossCount = 0;
  std::uint64_t reportsSent = 0;
  std::uint64_t reportsDropped = 0;
  int opens = 0;

  bool replaying() const { return config.replay != nullptr; }
  bool captureLeft() const { return replaying() && replayPos < config.replay->size(); }
  bool fastReplayActive() const { return config.replayFast && captureLeft(); }

  double chance() { return static_cast<double>(faultRng()) / 4294967296.0; }

  // One receiver byte reaching the firmware, through whatever line fault is in effect.
  void feed(std::uint8_t b, SteadyTime at) {
    lastArrival = at;
    if (dropP > 0 && chance() < dropP) return;
    if (flipP > 0 && chance() < flipP) b = static_cast<std::uint8_t>(b ^ (1u << (faultRng() % 8)));
    if (fifo.size() < kFifoCapacity) fifo.push_back(b);
  }
};

SimulatedUnits::SimulatedUnits(SimClock& clock) : clock_(clock), start_(clock.now()) {}

SimulatedUnits::~SimulatedUnits() = default;

UnitId SimulatedUnits::addUnit(UnitConfig config) {
  update();
  const UnitId id = units_.size();
  units_.push_back(std::make_unique<Unit>(id, std::move(config), clock_));
  Unit& u = *units_.back();
  if (u.config.kept && u.config.runsFirmware) {
    u.firmware.restore(u.config.kept->firmware);
    u.config.serial = toUtf16(u.config.kept->serial);
  }
  u.lastKept = {u.firmware.nonVolatile(), lowBytes(u.config.serial)};
  attach(u, simNow(), true);
  return id;
}

UnitId SimulatedUnits::addForeignDevice(std::uint16_t vendorId, std::uint16_t productId, std::u16string product) {
  UnitConfig c;
  c.vendorId = vendorId;
  c.productId = productId;
  c.firmwareVersion = 0x0100;
  c.manufacturer = u"Generic";
  c.product = std::move(product);
  c.serial.clear();
  c.inputReportLength = 9;
  c.featureReportLength = 0;
  c.runsFirmware = false;
  return addUnit(std::move(c));
}

std::optional<UnitId> SimulatedUnits::findBySerial(std::u16string_view serial) const {
  for (const auto& u : units_) {
    if (u->config.serial == serial) return u->id;
  }
  return std::nullopt;
}

UnitView SimulatedUnits::unit(UnitId id) {
  update();
  const Unit& u = *units_.at(id);
  const SteadyTime now = simNow();
  UnitView v;
  v.id = id;
  v.config = u.config;
  v.serial = u.config.serial;
  v.attached = u.attached;
  v.path = u.path;
  v.attachments = u.attachments;
  for (const auto& [h, hs] : handles_) v.openHandles += hs.unit == id && u.attached && hs.attachment == u.attachments;
  v.opens = u.opens;
  v.stalled = u.stalled;
  v.pllLocked = u.config.runsFirmware && u.attached && u.firmware.pllLocked(now);
  v.gpsSignal = u.config.runsFirmware && u.attached && u.receiver.hasSignal(now);
  v.lossCount = u.lossCount;
  v.firmware = u.firmware.state();
  v.receiverRates = u.receiver.rates();
  v.reportsSent = u.reportsSent;
  v.reportsDropped = u.reportsDropped;
  v.replayPosition = u.replayPos;
  v.replayFinished = unitReplayFinished(u);
  v.bursts.assign(u.bursts.begin(), u.bursts.end());
  return v;
}

// --- time -------------------------------------------------------------------------------------

// Inside a scheduled action the simulation stands at the action's time, and calls the action
// makes on this object neither run the simulation further nor see a later time.
void SimulatedUnits::update() {
  if (!eventTime_) advance(clock_.now());
}

SteadyTime SimulatedUnits::simNow() { return eventTime_ ? *eventTime_ : clock_.now(); }

void SimulatedUnits::advance(SteadyTime t) {
  while (!events_.empty() && events_.begin()->first.first <= t) {
    auto node = events_.extract(events_.begin());
    const SteadyTime at = node.key().first;
    for (auto& u : units_) advanceUnit(*u, at);
    eventTime_ = at;
    node.mapped()(at);
    eventTime_.reset();
  }
  for (auto& u : units_) advanceUnit(*u, t);
}

void SimulatedUnits::advanceUnit(Unit& u, SteadyTime t) {
  if (!u.attached || t < u.nextTick) return;
  const auto interval = std::chrono::duration_cast<SteadyTime::duration>(u.tickInterval);
  const auto due = static_cast<std::uint64_t>((t - u.nextTick) / interval) + 1;
  const bool readers = hasReaders(u);
  // Reports that nobody will ever see (no reader, or pushed out of the queue by later ones) are
  // not built; the receiver bytes they would have carried are lost with them.
  const std::uint64_t keep = readers ? u.config.queueCapacity : 0;
  if (due > keep) {
    const std::uint64_t skip = due - keep;
    const SteadyTime last = u.nextTick + interval * static_cast<long>(skip - 1);
    pump(u, last);
    if (!u.stalled && !u.fastReplayActive()) u.fifo.clear();
    if (!u.stalled && !u.fastReplayActive()) {
      u.reportsSent += skip;
      if (readers) u.reportsDropped += skip;
    }
    u.nextTick = last + interval;
  }
  while (u.nextTick <= t) {
    tick(u, u.nextTick);
    u.nextTick += interval;
  }
}

void SimulatedUnits::pump(Unit& u, SteadyTime t) {
  if (!u.config.runsFirmware) return;
  if (u.replaying()) {
    // Capture bytes arrive back to back at the line rate from the moment the replay started; a
    // fast replay is pulled by the reads instead.
    if (!u.replayStarted || u.config.replayFast || t < u.replayStart) return;
    const auto& data = *u.config.replay;
    const auto arrived = static_cast<std::size_t>((t - u.replayStart) / u.byteTime);
    const std::size_t end = std::min(data.size(), arrived);
    for (; u.replayPos < end; ++u.replayPos) {
      u.feed(data[u.replayPos], u.replayStart + u.byteTime * static_cast<long>(u.replayPos + 1));
    }
    return;
  }
  u.receiver.emitUntil(t, [&u](SteadyTime at, std::vector<std::uint8_t> bytes, std::optional<UtcTime> epoch) {
    const SteadyTime begin = std::max(at, u.lineFreeAt);
    if (epoch) {
      u.bursts.push_back({*epoch, begin});
      if (u.bursts.size() > UnitView::kKeptBursts) u.bursts.pop_front();
    }
    u.lineFreeAt = begin + u.byteTime * static_cast<long>(bytes.size());
    u.line.push_back({begin, std::move(bytes), 0});
  });
  while (!u.line.empty()) {
    Unit::Segment& s = u.line.front();
    if (t < s.start) break;
    const auto arrived = std::min(s.bytes.size(), static_cast<std::size_t>((t - s.start) / u.byteTime));
    for (; s.taken < arrived; ++s.taken) u.feed(s.bytes[s.taken], s.start + u.byteTime * static_cast<long>(s.taken + 1));
    if (s.taken < s.bytes.size()) break;
    u.line.pop_front();
  }
}

std::vector<std::uint8_t> SimulatedUnits::buildReport(Unit& u, SteadyTime t, bool allowPartial, bool& carriesCapture) {
  const std::size_t length = static_cast<std::size_t>(std::max(u.config.inputReportLength, 1));
  std::vector<std::uint8_t> r(length, 0);
  if (length > 1) r[1] = u.lossCount;
  if (length > 2) {
    r[2] = static_cast<std::uint8_t>((u.receiver.hasSignal(t) ? 0 : kNoSignal) | (u.firmware.pllLocked(t) ? 0 : kNoLock));
  }
  const std::size_t room = length > 3 ? length - 3 : 0;
  carriesCapture = false;
  if (room > 0 && !u.fifo.empty() && (u.fifo.size() >= room || allowPartial)) {
    r[2] |= kReceiverBytes;
    const std::size_t n = std::min(room, u.fifo.size());
    std::copy_n(u.fifo.begin(), n, r.begin() + 3);
    u.fifo.erase(u.fifo.begin(), u.fifo.begin() + static_cast<std::ptrdiff_t>(n));
    carriesCapture = u.replaying();
  }
  return r;
}

void SimulatedUnits::tick(Unit& u, SteadyTime t) {
  pump(u, t);
  if (!u.config.runsFirmware || u.stalled || u.fastReplayActive()) return;
  bool capture = false;
  const bool quiet = t - u.lastArrival >= u.config.idleFlush;
  auto bytes = buildReport(u, t, quiet, capture);
  ++u.reportsSent;
  deliver(u, std::make_shared<Report>(Report{std::move(bytes), capture, false}));
}

void SimulatedUnits::deliver(Unit& u, std::shared_ptr<Report> r) {
  for (auto& [h, hs] : handles_) {
    if (hs.unit != u.id || hs.attachment != u.attachments) continue;
    if (hs.queue.size() >= std::max<std::size_t>(u.config.queueCapacity, 1)) {
      hs.queue.pop_front();
      ++u.reportsDropped;
    }
    hs.queue.push_back(r);
  }
}

bool SimulatedUnits::hasReaders(const Unit& u) const {
  for (const auto& [h, hs] : handles_) {
    if (hs.unit == u.id && hs.attachment == u.attachments) return true;
  }
  return false;
}

bool SimulatedUnits::unitReplayFinished(const Unit& u) const {
  if (!u.replaying() || !u.replayStarted || u.captureLeft() || !u.fifo.empty()) return false;
  for (const auto& [h, hs] : handles_) {
    if (hs.unit != u.id || hs.attachment != u.attachments) continue;
    for (const auto& r : hs.queue) {
      if (r->carriesCapture && !r->delivered) return false;
    }
  }
  return true;
}

bool SimulatedUnits::replayFinished() {
  update();
  bool any = false;
  for (const auto& u : units_) {
    if (!u->replaying() || !u->replayStarted) continue;
    any = true;
    if (u->attached && !unitReplayFinished(*u)) return false;
  }
  return any;
}

// --- attach, detach and faults ----------------------------------------------------------------

void SimulatedUnits::attach(Unit& u, SteadyTime t, bool powerCycle) {
  u.attached = true;
  ++u.attachments;
  u.path = "sim:" + pathSafe(u.config.serial) + "#" + std::to_string(nextPathNumber_++);
  u.nextTick = t + std::chrono::duration_cast<SteadyTime::duration>(u.tickInterval);
  u.fifo.clear();
  u.line.clear();
  u.lineFreeAt = t;
  u.lastArrival = t;
  if (powerCycle) {
    // The loss count lives in the firmware's memory, which a power cycle clears.
    u.lossCount = 0;
    u.firmware.powerOn(t);
    u.receiver.powerOn(t);
  } else {
    u.receiver.skipTo(t);
  }
}

void SimulatedUnits::detach(Unit& u) {
  u.attached = false;
  u.path.clear();
  for (auto& [h, hs] : handles_) {
    if (hs.unit == u.id) hs.queue.clear();
  }
}

void SimulatedUnits::doUnplug(Unit& u) {
  ++u.reattachToken;  // a pending re-enumeration does not happen any more
  if (u.attached) detach(u);
}

void SimulatedUnits::doReplug(Unit& u, SteadyTime t, std::optional<std::u16string> serial) {
  ++u.reattachToken;
  if (u.attached) detach(u);
  if (serial) u.config.serial = *serial;
  keepState(u);
  attach(u, t, true);
}

void SimulatedUnits::doChangeSerial(Unit& u, SteadyTime t, std::u16string serial) {
  // The firmware takes the new serial at once and drops off the bus; the host sees it again after
  // the re-enumeration delay, as a new device.
  if (u.attached) detach(u);
  u.config.serial = std::move(serial);
  keepState(u);
  const std::uint64_t token = ++u.reattachToken;
  scheduleAt(t + u.config.reenumerationDelay, [this, &u, token](SteadyTime at) {
    if (u.reattachToken == token && !u.attached) attach(u, at, false);
  });
}

void SimulatedUnits::doSignal(Unit& u, SteadyTime t, bool present) {
  const bool had = u.receiver.hasSignal(t);
  u.receiver.setSignalBlocked(!present);
  if (had && !present) ++u.lossCount;
}

void SimulatedUnits::unplug(UnitId id) {
  update();
  doUnplug(*units_.at(id));
}

void SimulatedUnits::replug(UnitId id, std::optional<std::u16string> newSerial) {
  update();
  doReplug(*units_.at(id), simNow(), std::move(newSerial));
}

void SimulatedUnits::changeSerial(UnitId id, std::u16string serial) {
  update();
  doChangeSerial(*units_.at(id), simNow(), std::move(serial));
}

void SimulatedUnits::stall(UnitId id) {
  update();
  units_.at(id)->stalled = true;
}

void SimulatedUnits::resume(UnitId id) {
  update();
  units_.at(id)->stalled = false;
}

void SimulatedUnits::setCorruption(UnitId id, double flipProbability, double dropProbability) {
  update();
  units_.at(id)->flipP = flipProbability;
  units_.at(id)->dropP = dropProbability;
}

void SimulatedUnits::setGpsSignal(UnitId id, bool present) {
  update();
  doSignal(*units_.at(id), simNow(), present);
}

void SimulatedUnits::setExclusive(UnitId id, bool exclusive) { units_.at(id)->config.exclusive = exclusive; }
void SimulatedUnits::setAnswersFeatureRequests(UnitId id, bool answers) {
  units_.at(id)->config.answersFeatureRequests = answers;
}

void SimulatedUnits::setSerialReadable(UnitId id, bool readable) { units_.at(id)->config.serialReadable = readable; }

void SimulatedUnits::setFeatureReportLength(UnitId id, int length) {
  units_.at(id)->config.featureReportLength = length;
}

void SimulatedUnits::setFirmwareVersion(UnitId id, std::uint16_t version) {
  units_.at(id)->config.firmwareVersion = version;
  units_.at(id)->firmware.setFirmwareVersion(version);
}

void SimulatedUnits::setStrings(UnitId id, std::u16string manufacturer, std::u16string product) {
  units_.at(id)->config.manufacturer = std::move(manufacturer);
  units_.at(id)->config.product = std::move(product);
}

void SimulatedUnits::useWideStrings(UnitId id) {
  Unit& u = *units_.at(id);
  u.config.manufacturer = u"Tamrik \u0141\u00F3d\u017A";  // Łódź
  u.config.product = u"GPS \u2013 \u03A9 Reference";
  for (char16_t& c : u.config.serial) {
    if (c < 0x100) c = static_cast<char16_t>(c + 0x100);
  }
}

void SimulatedUnits::setStateStore(std::shared_ptr<UnitStateStore> store,
                                   std::function<void(const std::string&)> onError) {
  store_ = std::move(store);
  onStoreError_ = std::move(onError);
}

void SimulatedUnits::keepState(Unit& u) {
  if (!store_ || u.config.stateKey.empty() || !u.config.runsFirmware) return;
  KeptUnitState now{u.firmware.nonVolatile(), lowBytes(u.config.serial)};
  if (now == u.lastKept) return;
  if (std::string error = store_->save(u.config.stateKey, now); !error.empty()) {
    if (onStoreError_) onStoreError_(error);
    return;
  }
  u.lastKept = std::move(now);
}

void SimulatedUnits::scheduleAt(SteadyTime t, std::function<void(SteadyTime)> action) {
  events_.emplace(std::make_pair(t, eventSeq_++), std::move(action));
}

void SimulatedUnits::schedule(std::chrono::milliseconds at, std::function<void()> action) {
  scheduleAt(start_ + at, [a = std::move(action)](SteadyTime) { a(); });
}

void SimulatedUnits::scheduleFaults(const std::vector<FaultEvent>& events) {
  for (const FaultEvent& e : events) {
    scheduleAt(start_ + e.at, [this, e](SteadyTime t) { applyFault(e, t); });
  }
}

void SimulatedUnits::applyFault(const FaultEvent& e, SteadyTime t) {
  Unit* found = nullptr;
  for (auto& u : units_) {
    if (lowBytes(u->config.serial) == e.serial) {
      found = u.get();
      break;
    }
  }
  if (!found) return;
  Unit& u = *found;
  switch (e.kind) {
    case FaultKind::Unplug: doUnplug(u); break;
    case FaultKind::Replug: doReplug(u, t, std::nullopt); break;
    case FaultKind::ReplugAs: doReplug(u, t, toUtf16(e.newSerial)); break;
    case FaultKind::SerialChange: doChangeSerial(u, t, toUtf16(e.newSerial)); break;
    case FaultKind::Stall: u.stalled = true; break;
    case FaultKind::Resume: u.stalled = false; break;
    case FaultKind::Corrupt: u.flipP = e.probability; break;
    case FaultKind::Drop: u.dropP = e.probability; break;
    case FaultKind::SignalLoss: doSignal(u, t, false); break;
    case FaultKind::Signal: doSignal(u, t, true); break;
    case FaultKind::SignalFlicker: u.lossCount = static_cast<std::uint8_t>(u.lossCount + e.number); break;
    case FaultKind::PllUnlock: u.firmware.setLockLost(true, t); break;
    case FaultKind::PllLock: u.firmware.setLockLost(false, t); break;
    case FaultKind::Exclusive: u.config.exclusive = true; break;
    case FaultKind::Shared: u.config.exclusive = false; break;
    case FaultKind::NoSerial: u.config.serialReadable = false; break;
    case FaultKind::SerialOk: u.config.serialReadable = true; break;
    case FaultKind::ShortFeature: u.config.featureReportLength = e.number; break;
    case FaultKind::WideStrings: useWideStrings(u.id); break;
    case FaultKind::Firmware: setFirmwareVersion(u.id, static_cast<std::uint16_t>(e.number)); break;
    case FaultKind::NoAnswer: u.config.answersFeatureRequests = false; break;
    case FaultKind::Answer: u.config.answersFeatureRequests = true; break;
  }
}

// --- the device backend -----------------------------------------------------------------------

SimulatedUnits::Handle* SimulatedUnits::liveHandle(DeviceHandle h) {
  auto it = handles_.find(h);
  if (it == handles_.end()) return nullptr;
  const Unit& u = *units_[it->second.unit];
  return u.attached && it->second.attachment == u.attachments ? &it->second : nullptr;
}

SimulatedUnits::Unit* SimulatedUnits::live(DeviceHandle h) {
  Handle* hs = liveHandle(h);
  return hs ? units_[hs->unit].get() : nullptr;
}

std::vector<platform::HidInterface> SimulatedUnits::hidInterfaces() {
  update();
  std::vector<platform::HidInterface> interfaces;
  for (const auto& u : units_) {
    if (u->attached) {
      interfaces.push_back({u->path, true, u->config.vendorId, u->config.productId, lowBytes(u->config.serial)});
    }
  }
  return interfaces;
}

DeviceHandle SimulatedUnits::open(const std::string& path, platform::OpenMode) {
  update();
  for (auto& u : units_) {
    if (!u->attached || u->path != path) continue;
    ++u->opens;
    if (u->config.exclusive) {
      lastOpenFailure_ = {platform::OpenFailure::Kind::Busy, "Device or resource busy", "another program (simulated)"};
      return platform::kInvalidHandle;
    }
    const DeviceHandle h = nextHandle_++;
    handles_[h] = Handle{u->id, u->attachments, {}, {}};
    if (u->replaying() && !u->config.replayFast && !u->replayStarted) {
      u->replayStarted = true;
      u->replayStart = simNow();
    }
    return h;
  }
  lastOpenFailure_ = {platform::OpenFailure::Kind::Absent, "No such device", {}};
  return platform::kInvalidHandle;
}

bool SimulatedUnits::close(DeviceHandle handle) { return handles_.erase(handle) > 0; }

std::optional<platform::HidAttributes> SimulatedUnits::attributes(DeviceHandle device) {
  update();
  const Unit* u = live(device);
  if (!u) return std::nullopt;
  return platform::HidAttributes{u->config.vendorId, u->config.productId, u->config.firmwareVersion};
}

std::optional<std::u16string> SimulatedUnits::string(DeviceHandle device, platform::HidString which,
                                                     std::size_t maxBytes) {
  update();
  const Unit* u = live(device);
  if (!u) {
    failed(device, "No such device");
    return std::nullopt;
  }
  std::u16string text;
  switch (which) {
    case platform::HidString::Manufacturer: text = u->config.manufacturer; break;
    case platform::HidString::Product: text = u->config.product; break;
    case platform::HidString::SerialNumber:
      if (!u->config.serialReadable) {
        failed(device, "Broken pipe");
        return std::nullopt;
      }
      text = u->config.serial;
      break;
  }
  text = text.substr(0, std::min(text.find(u'\0'), maxBytes / 2));
  return text;
}

std::optional<platform::HidCapabilities> SimulatedUnits::capabilities(DeviceHandle device) {
  update();
  const Unit* u = live(device);
  if (!u) return std::nullopt;
  return platform::HidCapabilities{u->config.inputReportLength, u->config.featureReportLength};
}

bool SimulatedUnits::setFeature(DeviceHandle device, std::span<const std::uint8_t> report) {
  update();
  Unit* u = live(device);
  if (!u) {
    failed(device, "No such device");
    return false;
  }
  // Like the HID class driver, the unit takes only reports of exactly its feature report length.
  if (u->config.featureReportLength <= 0 || report.size() != static_cast<std::size_t>(u->config.featureReportLength) ||
      report[0] != 0) {
    failed(device, "Invalid argument");
    return false;
  }
  if (!u->config.runsFirmware) {
    failed(device, "Broken pipe");
    return false;
  }
  if (!u->config.answersFeatureRequests) {
    waitOutFeatureRequest(*u);
    failed(device, "Connection timed out", true);
    return false;
  }
  const SteadyTime now = simNow();
  auto fx = u->firmware.apply(report, now);
  if (fx.toReceiver) u->receiver.receive(fx.toReceiver->cls, fx.toReceiver->id, fx.toReceiver->payload, now);
  if (fx.newSerial) doChangeSerial(*u, now, std::move(*fx.newSerial));
  keepState(*u);
  return true;
}

std::optional<std::size_t> SimulatedUnits::getFeature(DeviceHandle device, std::span<std::uint8_t> report) {
  update();
  Unit* u = live(device);
  const auto length = u ? static_cast<std::size_t>(std::max(u->config.featureReportLength, 0)) : 0;
  if (!u) {
    failed(device, "No such device");
    return std::nullopt;
  }
  if (length == 0 || report.size() < length || report[0] != 0) {
    failed(device, "Invalid argument");
    return std::nullopt;
  }
  if (!u->config.runsFirmware) {
    failed(device, "Broken pipe");
    return std::nullopt;
  }
  if (!u->config.answersFeatureRequests) {
    waitOutFeatureRequest(*u);
    failed(device, "Connection timed out", true);
    return std::nullopt;
  }
  const auto answer = u->firmware.featureReport(length);
  std::size_t delivered = length;
  if (u->config.featureAnswerLength > 0) {
    delivered = std::min(delivered, static_cast<std::size_t>(u->config.featureAnswerLength));
  }
  std::copy_n(answer.begin(), delivered, report.begin());
  std::fill(report.begin() + static_cast<std::ptrdiff_t>(delivered), report.end(), std::uint8_t{0});
  return delivered;
}

platform::InputReadResult SimulatedUnits::readInputReports(DeviceHandle device, std::span<std::uint8_t> buffer,
                                                           std::chrono::milliseconds firstReportTimeout) {
  update();
  Handle* hs = liveHandle(device);
  if (!hs) {
    failed(device, "No such device");
    return {false, 0};
  }
  Unit& u = *units_[hs->unit];
  const std::size_t length = static_cast<std::size_t>(std::max(u.config.inputReportLength, 1));
  const std::size_t fit = buffer.size() / length;
  if (fit == 0) return {true, 0};
  const SteadyTime deadline = clock_.now() + firstReportTimeout;

  for (;;) {
    if (u.config.runsFirmware && !u.stalled && u.fastReplayActive()) {
      // Fast replay: fill the whole buffer with capture bytes straight away.
      u.replayStarted = true;
      hs->queue.clear();
      const SteadyTime now = clock_.now();
      const auto& data = *u.config.replay;
      const std::size_t room = length > 3 ? length - 3 : 0;
      std::size_t n = 0;
      while (n < fit && (u.captureLeft() || !u.fifo.empty())) {
        while (u.fifo.size() < room && u.replayPos < data.size()) u.feed(data[u.replayPos++], now);
        bool capture = false;
        const auto r = buildReport(u, now, true, capture);
        std::copy(r.begin(), r.end(), buffer.begin() + static_cast<std::ptrdiff_t>(n * length));
        ++u.reportsSent;
        ++n;
      }
      return {true, n * length};
    }
    if (!hs->queue.empty()) {
      const std::size_t n = std::min(fit, hs->queue.size());
      for (std::size_t i = 0; i < n; ++i) {
        Report& r = *hs->queue.front();
        std::copy(r.bytes.begin(), r.bytes.end(), buffer.begin() + static_cast<std::ptrdiff_t>(i * length));
        r.delivered = true;
        hs->queue.pop_front();
      }
      return {true, n * length};
    }
    const SteadyTime now = clock_.now();
    if (now >= deadline) return {true, 0};
    SteadyTime next = deadline;
    if (u.config.runsFirmware && !u.stalled) next = std::min(next, u.nextTick);
    if (!events_.empty()) next = std::min(next, events_.begin()->first.first);
    clock_.waitUntil(std::max(next, now));
    update();
    hs = liveHandle(device);
    if (!hs) {  // unplugged while we waited
      failed(device, "No such device");
      return {false, 0};
    }
  }
}

void SimulatedUnits::waitOutFeatureRequest(Unit& u) {
  clock_.waitUntil(clock_.now() + u.config.featureRequestBound);
  update();
}

void SimulatedUnits::failed(DeviceHandle h, std::string why, bool unanswered) {
  if (auto it = handles_.find(h); it != handles_.end()) {
    it->second.lastError = std::move(why);
    it->second.unanswered = unanswered;
  }
}

std::string SimulatedUnits::lastError(DeviceHandle device) {
  const auto it = handles_.find(device);
  return it == handles_.end() ? "not an open device" : it->second.lastError;
}

bool SimulatedUnits::lastRequestUnanswered(DeviceHandle device) {
  const auto it = handles_.find(device);
  return it != handles_.end() && it->second.unanswered;
}

}  // namespace tamrik::sim
