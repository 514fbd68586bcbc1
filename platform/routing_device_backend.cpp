#include "platform/routing_device_backend.h"

namespace tamrik::platform {

RoutingDeviceBackend::RoutingDeviceBackend(std::vector<DeviceBackend*> backends) : backends_(std::move(backends)) {}

std::vector<HidInterface> RoutingDeviceBackend::hidInterfaces() {
  std::vector<HidInterface> all;
  pathOwner_.clear();
  for (DeviceBackend* b : backends_) {
    for (auto& i : b->hidInterfaces()) {
      pathOwner_.emplace(i.path, b);  // the first backend to list a path owns it
      all.push_back(std::move(i));
    }
  }
  return all;
}

DeviceHandle RoutingDeviceBackend::open(const std::string& path, OpenMode mode) {
  lastOpenFailure_ = {OpenFailure::Kind::Absent, "No such device", {}};
  auto tryOpen = [&](DeviceBackend* b) -> DeviceHandle {
    const DeviceHandle inner = b->open(path, mode);
    if (!isValidHandle(inner)) {
      lastOpenFailure_ = b->lastOpenFailure();
      return kInvalidHandle;
    }
    const DeviceHandle outer = next_++;
    routes_.emplace(outer, Route{b, inner});
    return outer;
  };
  if (auto it = pathOwner_.find(path); it != pathOwner_.end()) return tryOpen(it->second);
  for (DeviceBackend* b : backends_) {
    if (const DeviceHandle h = tryOpen(b); isValidHandle(h)) return h;
  }
  return kInvalidHandle;
}

bool RoutingDeviceBackend::close(DeviceHandle handle) {
  auto it = routes_.find(handle);
  if (it == routes_.end()) return false;
  const Route route = it->second;
  routes_.erase(it);
  return route.backend->close(route.inner);
}

const RoutingDeviceBackend::Route* RoutingDeviceBackend::find(DeviceHandle handle) const {
  auto it = routes_.find(handle);
  return it == routes_.end() ? nullptr : &it->second;
}

std::optional<HidAttributes> RoutingDeviceBackend::attributes(DeviceHandle device) {
  const Route* r = find(device);
  return r ? r->backend->attributes(r->inner) : std::nullopt;
}

std::optional<std::u16string> RoutingDeviceBackend::string(DeviceHandle device, HidString which, std::size_t maxBytes) {
  const Route* r = find(device);
  return r ? r->backend->string(r->inner, which, maxBytes) : std::nullopt;
}

std::optional<HidCapabilities> RoutingDeviceBackend::capabilities(DeviceHandle device) {
  const Route* r = find(device);
  return r ? r->backend->capabilities(r->inner) : std::nullopt;
}

bool RoutingDeviceBackend::setFeature(DeviceHandle device, std::span<const std::uint8_t> report) {
  const Route* r = find(device);
  return r && r->backend->setFeature(r->inner, report);
}

std::optional<std::size_t> RoutingDeviceBackend::getFeature(DeviceHandle device, std::span<std::uint8_t> report) {
  const Route* r = find(device);
  return r ? r->backend->getFeature(r->inner, report) : std::nullopt;
}

InputReadResult RoutingDeviceBackend::readInputReports(DeviceHandle device, std::span<std::uint8_t> buffer,
                                                       std::chrono::milliseconds firstReportTimeout) {
  const Route* r = find(device);
  return r ? r->backend->readInputReports(r->inner, buffer, firstReportTimeout) : InputReadResult{};
}

std::string RoutingDeviceBackend::lastError(DeviceHandle device) {
  const Route* r = find(device);
  return r ? r->backend->lastError(r->inner) : "not an open device";
}

bool RoutingDeviceBackend::lastRequestUnanswered(DeviceHandle device) {
  const Route* r = find(device);
  return r != nullptr && r->backend->lastRequestUnanswered(r->inner);
}

}  // namespace tamrik::platform
