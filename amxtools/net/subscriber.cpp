// amxnet subscriber: one DEALER socket to the publisher, a Hello that says
// where to begin (or to resume), credit handed back as data is taken, pings
// that keep the link alive and probe the clock, and a fresh socket with a
// resuming Hello when the publisher has been silent too long.
#include "amxnet.h"

#include <zmq.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace amxnet {

Subscriber::Subscriber(const SubscriberOptions& options) : options_(options)
{
  context_ = zmq_ctx_new();
  connect();
}

Subscriber::~Subscriber()
{
  if (socket_) {
    Message bye;
    bye.type = MsgType::Bye;
    send(bye);
    zmq_socket_monitor(socket_, nullptr, 0);
    zmq_close(socket_);
    zmq_close(monitor_);
  }
  zmq_ctx_term(context_);
}

void Subscriber::send(const Message& m)
{
  buffer_.clear();
  std::string error;
  if (encode(m, buffer_, error)) zmq_send(socket_, buffer_.data(), buffer_.size(), ZMQ_DONTWAIT);
}

void Subscriber::connect()
{
  if (socket_) {
    zmq_socket_monitor(socket_, nullptr, 0);
    zmq_close(socket_);
    zmq_close(monitor_);
  }
  socket_ = zmq_socket(context_, ZMQ_DEALER);
  int zero = 0, hwm = 100000, ivl = 100;
  zmq_setsockopt(socket_, ZMQ_LINGER, &zero, sizeof zero);
  zmq_setsockopt(socket_, ZMQ_RCVHWM, &hwm, sizeof hwm);
  zmq_setsockopt(socket_, ZMQ_RECONNECT_IVL, &ivl, sizeof ivl);
  const Keys& keys = options_.keys;
  if (!keys.server_key.empty()) {
    zmq_setsockopt(socket_, ZMQ_CURVE_SERVERKEY, keys.server_key.c_str(), 40);
    zmq_setsockopt(socket_, ZMQ_CURVE_PUBLICKEY, keys.public_key.c_str(), 40);
    zmq_setsockopt(socket_, ZMQ_CURVE_SECRETKEY, keys.secret_key.c_str(), 40);
  }
  // The handshake's outcome: ZeroMQ keeps retrying a failed one in silence.
  const std::string monitor = "inproc://amxnet-handshake-" + std::to_string(reinterpret_cast<uintptr_t>(this)) + "-" +
                              std::to_string(++monitors_);
  zmq_socket_monitor(socket_, monitor.c_str(),
                     ZMQ_EVENT_CONNECTED | ZMQ_EVENT_DISCONNECTED | ZMQ_EVENT_HANDSHAKE_SUCCEEDED |
                         ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL | ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL |
                         ZMQ_EVENT_HANDSHAKE_FAILED_AUTH);
  monitor_ = zmq_socket(context_, ZMQ_PAIR);
  zmq_setsockopt(monitor_, ZMQ_LINGER, &zero, sizeof zero);
  zmq_connect(monitor_, monitor.c_str());
  connected_ = false;
  dropped_handshakes_ = 0;
  zmq_connect(socket_, options_.endpoint.c_str());
  Message hello;
  hello.type = MsgType::Hello;
  hello.name = options_.name;
  hello.back_ms = options_.back_ms;
  hello.credit = options_.credit;
  if (order_.stream_id != 0) {  // resume where the last data ended
    hello.resume_id = order_.stream_id;
    hello.resume_from = order_.next_sample;
  }
  send(hello);
  consumed_ = 0;
  heard_ = pinged_ = steady_now();
}

bool Subscriber::handshake_failed(std::string& why)
{
  uint8_t event[6] = {};
  char address[256];
  if (zmq_recv(monitor_, event, sizeof event, ZMQ_DONTWAIT) < 0) return false;
  zmq_recv(monitor_, address, sizeof address, ZMQ_DONTWAIT);
  uint16_t kind;
  uint32_t value;
  std::memcpy(&kind, event, 2);
  std::memcpy(&value, event + 2, 4);
  const bool secure = !options_.keys.server_key.empty();
  const std::string at = "the publisher at " + options_.endpoint;
  const std::string server = " server.key (" + key_fingerprint(options_.keys.server_key) + ")";
  const std::string impostor = at + " failed the secure handshake: it does not prove it holds the secret key of" +
                               server + ", so it may be an impostor: refused";
  switch (kind) {
    case ZMQ_EVENT_CONNECTED: connected_ = true; return false;
    case ZMQ_EVENT_HANDSHAKE_SUCCEEDED:
      connected_ = false;
      dropped_handshakes_ = 0;
      return false;
    case ZMQ_EVENT_DISCONNECTED:
      // A publisher that cannot read our greeting (it lacks the secret key of
      // server.key, or serves without keys) just closes the connection.
      if (!connected_ || !secure) return false;
      connected_ = false;
      if (++dropped_handshakes_ < 2) return false;
      why = impostor;
      return true;
    case ZMQ_EVENT_HANDSHAKE_FAILED_AUTH:
      why = at + " refused this subscriber's key " + key_fingerprint(options_.keys.public_key) +
            ": it is not among the publisher's allowed keys";
      return true;
    default:
      if (!secure)
        why = at + " requires keys (the handshake failed): give this subscriber a key folder (see docs/network.md)";
      else if (value == ZMQ_PROTOCOL_ERROR_ZMTP_MECHANISM_MISMATCH)
        why = at + " serves without keys, so it cannot prove it is the publisher of" + server + ": refused";
      else
        why = impostor;
      return true;
  }
}

Event& Subscriber::next(int timeout_ms)
{
  event_ = Event{};
  const double deadline = steady_now() + timeout_ms / 1000.0;
  for (int round = 0; round < 100000; ++round) {
    double now = steady_now();
    if (now - pinged_ >= options_.ping_every) {
      Message ping;
      ping.type = MsgType::Ping;
      ping.probe = ++probe_;
      ping.t0 = pinged_ = now;
      send(ping);
    }
    // Messages already queued are read before the link is judged dead: after
    // a stall of this process they show the publisher was there all along.
    const double wait = std::min({deadline, pinged_ + options_.ping_every, heard_ + options_.dead_after}) - now;
    zmq_pollitem_t items[] = {{socket_, 0, ZMQ_POLLIN, 0}, {monitor_, 0, ZMQ_POLLIN, 0}};
    const int ready = zmq_poll(items, 2, std::max(0, static_cast<int>(wait * 1000) + 1));
    if (ready > 0 && (items[1].revents & ZMQ_POLLIN)) {
      if (handshake_failed(event_.text)) {
        event_.kind = Event::Refused;
        return event_;
      }
      if (!(items[0].revents & ZMQ_POLLIN)) continue;
    }
    if (ready <= 0) {
      now = steady_now();
      if (now - heard_ > options_.dead_after) {
        ++reconnects;
        event_.kind = Event::LinkLost;
        char text[64];
        std::snprintf(text, sizeof text, " for %.1f s: reconnecting", options_.dead_after);
        event_.text = "no message from " + options_.endpoint + text;
        connect();
        return event_;
      }
      if (now >= deadline) return event_;
      continue;
    }
    zmq_msg_t body;
    zmq_msg_init(&body);
    if (zmq_msg_recv(&body, socket_, ZMQ_DONTWAIT) < 0) {
      zmq_msg_close(&body);
      continue;
    }
    const double arrived = steady_now();
    heard_ = arrived;
    std::string error;
    const bool ok = decode(static_cast<const uint8_t*>(zmq_msg_data(&body)), zmq_msg_size(&body), msg_, error);
    zmq_msg_close(&body);
    if (!ok) {
      refused.add(error);
      if (error.rfind("version ", 0) == 0) {  // nothing more of this publisher can be read
        event_.kind = Event::Refused;
        event_.text = "the publisher at " + options_.endpoint + " speaks another format: " + error;
        return event_;
      }
      continue;
    }
    switch (msg_.type) {
      case MsgType::Header:
        event_.kind = Event::Header;
        event_.new_segment = msg_.stream_id != order_.stream_id;
        if (event_.new_segment) ++segments;
        order_.begin(msg_);
        header_ = msg_;
        event_.msg = &header_;
        return event_;
      case MsgType::Data: {
        if (!order_.check(msg_, error)) {
          refused.add(error);
          continue;
        }
        // A hole no gap covers can only be messages that never arrived: it is
        // reported as a gap all the same, so every frame is accounted for.
        uint64_t at = order_.next_sample;
        std::vector<Gap> gaps;
        for (const Gap& g : msg_.gaps) {
          if (g.first > at) gaps.push_back({at, g.first - at, Gap::Network});
          gaps.push_back(g);
          at = g.first + g.count;
        }
        if (msg_.count > 0 && msg_.first > at) gaps.push_back({at, msg_.first - at, Gap::Network});
        msg_.gaps.swap(gaps);
        order_.accept(msg_);
        for (const Gap& g : msg_.gaps) (g.kind == Gap::Network ? lost : missing) += g.count;
        received += msg_.count;
        consumed_ += msg_.count;
        if (consumed_ >= std::max(1u, options_.credit / 4)) {
          Message credit;
          credit.type = MsgType::Credit;
          credit.credit = consumed_;
          send(credit);
          consumed_ = 0;
        }
        event_.times.resize(msg_.count);
        for (uint32_t i = 0; i < msg_.count; ++i)
          event_.times[i] = clock.valid ? clock.to_local(msg_.stamps[i]) : msg_.stamps[i];
        event_.kind = Event::Data;
        event_.msg = &msg_;
        return event_;
      }
      case MsgType::Pong:
        if (msg_.probe == probe_) clock.add(msg_.t0, msg_.t1, msg_.t2, arrived);
        continue;
      case MsgType::End: {
        Message bye;  // the publisher may now let this subscription go
        bye.type = MsgType::Bye;
        send(bye);
        event_.kind = Event::End;
        event_.text = msg_.reason;
        return event_;
      }
      case MsgType::Refused:
        event_.kind = Event::Refused;
        event_.text = msg_.reason;
        return event_;
      default: refused.add("a subscriber's message sent to a subscriber"); continue;
    }
  }
  return event_;
}

}  // namespace amxnet
