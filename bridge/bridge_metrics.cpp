#include "bridge/bridge_metrics.h"

#include "bridge/receiver_bridge.h"
#include "bridge/stream_clients.h"
#include "text/prometheus_text.h"

namespace tamrik::bridge {

namespace {

double unixSeconds(std::chrono::system_clock::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

}  // namespace

BridgeFigures figuresOf(const ReceiverBridge& bridge, std::string unit, bool unitOpen) {
  BridgeFigures f;
  f.unit = std::move(unit);
  f.unitOpen = unitOpen;
  f.rhythmKnown = bridge.stamper().quietGap().has_value();
  f.epochs = bridge.counters().epochs;
  f.samplesMade = bridge.counters().samplesMade;
  f.withheld = bridge.stamper().withheld();
  f.lastSampleMade = bridge.lastSampleMade();
  for (const ReceiverBridge::SinkState& s : bridge.sinks()) {
    f.sinks.push_back({s.sink->taker(), s.sink->path(), s.taken, s.lost, s.lastOffset, s.lastTaken});
  }
  if (const StreamClients* c = bridge.clients()) {
    const StreamCounters& n = c->counters();
    f.tcp = TcpFigures{c->clients(), n.accepted, n.dropped, n.turnedAway, n.polls, n.refused};
  }
  return f;
}

std::string bridgeMetricsText(const BridgeFigures& f, std::string_view version) {
  text::PrometheusText t;
  const text::Labels unit = {{"unit", f.unit}};
  const auto with = [&unit](text::Labels more) {
    text::Labels all = unit;
    all.insert(all.end(), more.begin(), more.end());
    return all;
  };
  t.family("tamrikctl_build_info", "gauge", "The version of tamrikctl in its label; always 1.");
  t.sample({{"version", std::string(version)}}, 1);
  t.family("tamrik_bridge_unit_open", "gauge", "1 while the bridge has the unit open.");
  t.sample(unit, f.unitOpen ? 1 : 0);
  t.family("tamrik_bridge_epoch_rhythm_known", "gauge", "1 once the bridge tells the receiver's epochs apart.");
  t.sample(unit, f.rhythmKnown ? 1 : 0);
  t.family("tamrik_bridge_epochs_total", "counter", "Receiver epochs found in the stream.");
  t.sample(unit, static_cast<double>(f.epochs));
  t.family("tamrik_bridge_samples_made_total", "counter", "Time samples made, one per epoch that gives one.");
  t.sample(unit, static_cast<double>(f.samplesMade));
  t.family("tamrik_bridge_samples_withheld_total", "counter", "Epochs that gave no time sample, by why.");
  t.sample(with({{"reason", "burst_cut"}}), static_cast<double>(f.withheld.cut));
  t.sample(with({{"reason", "no_valid_time"}}), static_cast<double>(f.withheld.noTime));
  t.sample(with({{"reason", "time_not_following"}}), static_cast<double>(f.withheld.notFollowing));
  if (f.lastSampleMade) {
    t.family("tamrik_bridge_last_sample_timestamp_seconds", "gauge", "When the last time sample was made (Unix time).");
    t.sample(unit, unixSeconds(*f.lastSampleMade));
  }
  if (!f.sinks.empty()) {
    t.family("tamrik_bridge_samples_sent_total", "counter", "Time samples the time server took, by where they went.");
    for (const auto& s : f.sinks) t.sample(with({{"to", s.taker}, {"path", s.path}}), static_cast<double>(s.taken));
    t.family("tamrik_bridge_samples_not_taken_total", "counter",
             "Time samples the time server did not take (not running, not listening, permission refused).");
    for (const auto& s : f.sinks) t.sample(with({{"to", s.taker}, {"path", s.path}}), static_cast<double>(s.notTaken));
    t.family("tamrik_bridge_last_offset_seconds", "gauge",
             "The offset of the last sample the time server took: the receiver's time minus the stamp.");
    for (const auto& s : f.sinks) {
      if (s.lastOffset) t.sample(with({{"to", s.taker}, {"path", s.path}}), *s.lastOffset);
    }
    t.family("tamrik_bridge_last_taken_timestamp_seconds", "gauge",
             "When the time server last took a sample (Unix time).");
    for (const auto& s : f.sinks) {
      if (s.lastTaken) t.sample(with({{"to", s.taker}, {"path", s.path}}), unixSeconds(*s.lastTaken));
    }
  }
  if (f.tcp) {
    t.family("tamrik_bridge_tcp_clients", "gauge", "Clients connected to the receiver's TCP port.");
    t.sample(unit, static_cast<double>(f.tcp->connected));
    t.family("tamrik_bridge_tcp_clients_accepted_total", "counter", "Clients taken on the receiver's TCP port.");
    t.sample(unit, static_cast<double>(f.tcp->accepted));
    t.family("tamrik_bridge_tcp_clients_dropped_total", "counter",
             "Clients dropped: not keeping up, or beyond the limit of clients at once.");
    t.sample(with({{"reason", "slow"}}), static_cast<double>(f.tcp->dropped));
    t.sample(with({{"reason", "limit"}}), static_cast<double>(f.tcp->turnedAway));
    t.family("tamrik_bridge_receiver_polls_total", "counter", "Messages the TCP clients sent, passed to the receiver or refused.");
    t.sample(with({{"outcome", "passed"}}), static_cast<double>(f.tcp->pollsPassed));
    t.sample(with({{"outcome", "refused"}}), static_cast<double>(f.tcp->pollsRefused));
  }
  return t.str();
}

}  // namespace tamrik::bridge
