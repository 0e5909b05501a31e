// Finding a stream: an address as it stands, a bare name through the
// publishers' announcements (UDP beacons, one per stream, every 0.5 s, sent
// and heard with CZMQ's zbeacon; libzmq's own UDP sockets need its draft API,
// which Debian's build leaves out).
#include "amxnet.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>

#ifdef AMXNET_HAVE_BEACON
#include <czmq.h>
#endif

namespace amxnet {

bool beacon_port(int& port, std::string& error)
{
  const char* text = std::getenv("AMXNET_BEACON_PORT");
  port = kBeaconPort;
  if (!text || !*text) return true;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end || value < 1 || value > 65535)
    return error = "AMXNET_BEACON_PORT is a UDP port (1 to 65535), not \"" + std::string(text) + "\"", false;
  port = static_cast<int>(value);
  return true;
}

#ifdef AMXNET_HAVE_BEACON
namespace {

// CZMQ would otherwise install its own Ctrl-C handler over the program's.
void prepare_czmq()
{
  static const bool done = [] {
    zsys_handler_set(nullptr);
    zsys_init();
    return true;
  }();
  (void)done;
}

// A zbeacon on the announcements' port. address: this host's address on the
// interface it uses (empty: no interface can broadcast).
zactor_t* open_beacon(std::string& address, std::string& error)
{
  int port;
  if (!beacon_port(port, error)) return nullptr;
  prepare_czmq();
  zactor_t* actor = zactor_new(zbeacon, nullptr);
  if (!actor) return error = "cannot start a UDP beacon", nullptr;
  zsock_send(actor, "si", "CONFIGURE", port);
  char* host = zstr_recv(actor);
  address = host ? host : "";
  zstr_free(&host);
  return actor;
}

// The next valid beacon within timeout_ms; false for none (a malformed or
// foreign one is dropped here).
bool next_beacon(zactor_t* actor, int timeout_ms, std::string& sender, Beacon& beacon)
{
  zsock_set_rcvtimeo(actor, std::max(timeout_ms, 1));
  zmsg_t* msg = zmsg_recv(actor);
  if (!msg) return false;
  bool ok = false;
  if (zmsg_size(msg) == 2) {
    char* ip = zmsg_popstr(msg);
    zframe_t* payload = zmsg_pop(msg);
    std::string error;
    ok = ip && payload && decode_beacon(zframe_data(payload), zframe_size(payload), beacon, error);
    if (ok) sender = ip;
    zstr_free(&ip);
    zframe_destroy(&payload);
  }
  zmsg_destroy(&msg);
  return ok;
}

std::string endpoint_of(const std::string& address, int port)
{
  const bool v6 = address.find(':') != std::string::npos;
  return "tcp://" + (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

// Announcements heard within seconds; with only set, listening ends one
// beacon interval after that name was first heard (long enough to hear any
// other publisher of the same name).
bool hear(double seconds, const std::string& only, std::vector<Announcement>& found, std::string& error)
{
  found.clear();
  std::string address;
  zactor_t* actor = open_beacon(address, error);
  if (!actor) return false;
  if (address.empty()) {
    zactor_destroy(&actor);
    return error = "announcements cannot be heard here: no network interface can receive broadcasts", false;
  }
  zsock_send(actor, "sb", "SUBSCRIBE", "", 0);
  const double start = steady_now();
  double until = start + seconds;
  for (double now = start; now < until; now = steady_now()) {
    std::string sender;
    Beacon b;
    if (!next_beacon(actor, static_cast<int>((until - now) * 1000) + 1, sender, b) || b.claim) continue;
    Announcement a;
    a.name = b.name;
    a.host = b.host;
    a.endpoint = endpoint_of(sender, b.port);
    a.channels = b.channels;
    a.rate = static_cast<int>(b.rate);
    a.secure = b.secure;
    a.fingerprint = b.fingerprint;
    a.heard_after = steady_now() - start;
    if (std::any_of(found.begin(), found.end(),
                    [&](const Announcement& f) { return f.name == a.name && f.endpoint == a.endpoint; }))
      continue;
    found.push_back(a);
    if (a.name == only) until = std::min(until, steady_now() + kBeaconInterval * 1.2);
  }
  zactor_destroy(&actor);
  std::sort(found.begin(), found.end(), [](const Announcement& x, const Announcement& y) {
    return x.name != y.name ? x.name < y.name : x.endpoint < y.endpoint;
  });
  return true;
}

// Makes zbeacon use the interface that bind's host names (by address or by
// name); false when no interface that can broadcast has it. "*" and 0.0.0.0
// leave the choice to CZMQ (ZSYS_INTERFACE, else the first one that can).
bool choose_interface(const std::string& bind)
{
  const size_t colon = bind.rfind(':');
  const std::string host = bind.substr(6, colon == std::string::npos ? std::string::npos : colon - 6);
  if (host == "*" || host == "0.0.0.0") return true;
  prepare_czmq();
  ziflist_t* list = ziflist_new();
  bool found = false;
  for (const char* name = ziflist_first(list); name && !found; name = ziflist_next(list))
    if (host == name || host == ziflist_address(list)) {
      zsys_set_interface(name);
      found = true;
    }
  ziflist_destroy(&list);
  return found;
}

}  // namespace

bool discover(double seconds, std::vector<Announcement>& found, std::string& error)
{
  return hear(seconds, "", found, error);
}

Announcer::~Announcer()
{
  for (void* a : actors_) {
    zactor_t* actor = static_cast<zactor_t*>(a);
    zactor_destroy(&actor);
  }
}

bool Announcer::claim(const std::string& bind, const std::vector<std::string>& names, std::string& note,
                      std::string& error)
{
  error.clear();
  if (!choose_interface(bind)) {
    note = "streams not announced: no network interface that can broadcast has the address of " + bind;
    return true;
  }
  std::string address;
  zactor_t* listener = open_beacon(address, error);
  if (!listener) return false;
  if (address.empty()) {
    zactor_destroy(&listener);
    note = "streams not announced: no network interface can broadcast";
    return true;
  }
  zsock_send(listener, "sb", "SUBSCRIBE", "", 0);
  host_ = host_name().substr(0, kMaxStreamName);
  std::random_device random;
  since_ = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
  for (const std::string& name : names) {
    Beacon b;
    b.claim = true;
    b.id = (static_cast<uint64_t>(random()) << 32 | random()) | 1;
    b.since = since_;
    b.name = name;
    b.host = host_;
    std::vector<uint8_t> payload;
    std::string unused;
    zactor_t* actor = open_beacon(unused, error);
    if (!actor || !encode_beacon(b, payload, error)) {
      zactor_destroy(&listener);
      return false;
    }
    zsock_send(actor, "sbi", "PUBLISH", payload.data(), payload.size(), static_cast<int>(kBeaconInterval * 1000));
    actors_.push_back(actor);
    ids_.push_back(b.id);
    names_.push_back(name);
  }
  // Two intervals and a little: every announcing publisher is heard at least
  // twice, and so is every claim made meanwhile. Of two claims of one name on
  // one host the later yields (both read the same clock); of two made in the
  // same millisecond, the one with the higher id.
  const double until = steady_now() + kBeaconInterval * 2.4;
  for (double now = steady_now(); now < until && error.empty(); now = steady_now()) {
    std::string sender;
    Beacon b;
    if (!next_beacon(listener, static_cast<int>((until - now) * 1000) + 1, sender, b) || sender != address) continue;
    const auto it = std::find(names.begin(), names.end(), b.name);
    if (it == names.end() || std::count(ids_.begin(), ids_.end(), b.id)) continue;
    const uint64_t ours = ids_[static_cast<size_t>(it - names.begin())];
    if (!b.claim)
      error = "a stream named \"" + b.name + "\" is already announced on this host (at " + endpoint_of(sender, b.port) +
              "): give another --name";
    else if (b.since < since_ || (b.since == since_ && b.id < ours))
      error = "another publisher on this host began announcing the stream name \"" + b.name +
              "\" just before this one: give another --name";
  }
  zactor_destroy(&listener);
  return error.empty();
}

void Announcer::announce(const std::string& name, int port, int channels, int rate, const std::string& fingerprint)
{
  const auto it = std::find(names_.begin(), names_.end(), name);
  if (it == names_.end()) return;  // not claimed (nothing is announced here)
  const size_t i = static_cast<size_t>(it - names_.begin());
  Beacon b;
  b.id = ids_[i];
  b.since = since_;
  b.name = name;
  b.host = host_;
  b.port = static_cast<uint16_t>(port);
  b.channels = channels;
  b.rate = static_cast<uint32_t>(rate);
  b.secure = !fingerprint.empty();
  b.fingerprint = fingerprint;
  std::vector<uint8_t> payload;
  std::string error;
  if (encode_beacon(b, payload, error))
    zsock_send(actors_[i], "sbi", "PUBLISH", payload.data(), payload.size(), static_cast<int>(kBeaconInterval * 1000));
}

#else  // built without CZMQ

bool discover(double, std::vector<Announcement>& found, std::string& error)
{
  found.clear();
  error = "this build cannot hear announcements (built without CZMQ): give tcp://HOST:PORT/NAME";
  return false;
}

Announcer::~Announcer() = default;

bool Announcer::claim(const std::string&, const std::vector<std::string>&, std::string& note, std::string&)
{
  note = "streams not announced: this build has no beacon (built without CZMQ)";
  return true;
}

void Announcer::announce(const std::string&, int, int, int, const std::string&) {}

#endif

bool names_stream(const std::string& source)
{
  if (source.empty() || source[0] == '@') return false;
  char* end = nullptr;
  std::strtoll(source.c_str(), &end, 10);
  return *end != '\0';
}

namespace {
// The one stream announced as name within 2 s; false with error for none, or
// for several (on several hosts: the address tells them apart).
bool find_stream(const std::string& name, Announcement& found, std::string& error)
{
  std::vector<Announcement> heard;
#ifdef AMXNET_HAVE_BEACON
  if (!hear(2.0, name, heard, error)) return false;
#else
  if (!discover(2.0, heard, error)) return false;
#endif
  std::string where;
  int count = 0;
  for (const Announcement& a : heard)
    if (a.name == name) {
      found = a;
      where += (count++ ? ", " : "") + a.endpoint + "/" + name + " on " + a.host;
    }
  if (count == 1) return true;
  error = count ? "the stream name \"" + name + "\" is announced by " + std::to_string(count) + " publishers (" +
                      where + "): give its address"
                : "no stream named \"" + name +
                      "\" heard within 2 s (give tcp://HOST:PORT/NAME where announcements cannot reach)";
  return false;
}
}  // namespace

bool parse_address(const std::string& address, std::string& endpoint, std::string& name, std::string& error)
{
  // tcp://HOST:PORT[/NAME]: the name is what follows the first '/' after the host.
  if (address.rfind("tcp://", 0) == 0) {
    const size_t slash = address.find('/', 6);
    endpoint = address.substr(0, slash);
    name = slash == std::string::npos ? "" : address.substr(slash + 1);
    const size_t colon = endpoint.rfind(':');
    if (colon != std::string::npos && colon > 6 && colon + 1 < endpoint.size() &&
        (slash == std::string::npos || !name.empty()))
      return true;
  }
  error = "a stream's address is tcp://HOST:PORT or tcp://HOST:PORT/NAME, not \"" + address + "\"";
  return false;
}

bool resolve_stream(const std::string& source, SubscriberOptions& options, std::string& error)
{
  if (source.rfind("tcp://", 0) == 0) return parse_address(source, options.endpoint, options.name, error);
  Announcement a;
  if (!find_stream(source, a, error)) return false;
  const std::string at = "the stream \"" + a.name + "\" at " + a.endpoint;
  const std::string& server = options.keys.server_key;
  if (server.empty() && a.secure)
    return error = at + " is served with keys (server key " + a.fingerprint +
                   "): give --keys DIR with this subscriber's key pair and that publisher's public key as server.key",
           false;
  if (!server.empty() && !a.secure)
    return error = at + " is announced as served without keys, so it cannot be the publisher of server.key (" +
                   key_fingerprint(server) + "): refused",
           false;
  if (!server.empty() && a.fingerprint != key_fingerprint(server))
    return error = at + " announces the server key " + a.fingerprint + ", but server.key is " +
                   key_fingerprint(server) + ": refused (an impostor, or server.key is another publisher's)",
           false;
  options.endpoint = a.endpoint;
  options.name = a.name;
  return true;
}

}  // namespace amxnet
