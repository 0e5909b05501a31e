// amxctl serve and the recording of a served stream, as programs on loopback
// against the emulated amplifiers of AMVEX_EMULATE ("kind=7,rev=64;kind=2"):
// a remote recording holds what a local one of the same stream holds, a
// publisher killed and restarted is annotated as a new segment, and bad
// arguments are refused.
#include <gtest/gtest.h>

#include "net_process.h"
#include "wire.h"

#include <arpa/inet.h>
#include <atomic>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>

using namespace amxnet_test;

namespace {

const std::string kAmxctl = AMXCTL_PATH;

std::string temp(const std::string& name)
{
  return ::testing::TempDir() + "net_amxctl_" + std::to_string(getpid()) + "_" + name;
}

// A port of its own for each test process (tests may run in parallel).
std::string endpoint(int which) { return "tcp://127.0.0.1:" + std::to_string(20000 + (getpid() % 20000) + which); }

int run(const std::string& args, std::string* err = nullptr)
{
  const std::string prefix = temp("run");
  const int rc = finish(start(kAmxctl + " " + args, prefix), 60);
  if (err) *err = slurp(prefix + ".err");
  return rc;
}

bool has(const std::vector<std::string>& v, const std::string& text)
{
  for (const std::string& s : v)
    if (s == text) return true;
  return false;
}

}  // namespace

TEST(NetAmxctl, ARemoteRecordingHoldsWhatALocalOneHolds)
{
  const std::string at = endpoint(0), remote = temp("remote.bdf"), local = temp("local.bdf");
  std::remove(remote.c_str());
  std::remove(local.c_str());
  const pid_t serve = start(kAmxctl + " serve @1 --name lab --rate 1000 --bind " + at, temp("serve"));
  // From the start of the stream (all the buffer keeps): the same sample
  // numbers as a local recording started afresh.
  std::string err;
  ASSERT_EQ(run("record " + at + "/lab " + remote + " --seconds 2 --back all --quiet", &err), 0) << err;
  EXPECT_NE(err.find("2000 frames (2.0 s) at 1000 samples/s from " + at + "/lab"), std::string::npos) << err;
  kill(serve, SIGINT);
  EXPECT_EQ(finish(serve, 20), 0) << slurp(temp("serve") + ".err");
  const std::string log = slurp(temp("serve") + ".err");
  EXPECT_NE(log.find("subscriber(s),"), std::string::npos) << log;
  EXPECT_NE(log.find("owed"), std::string::npos);
  ASSERT_EQ(run("record @1 " + local + " --rate 1000 --seconds 2 --quiet", &err), 0) << err;

  const Bdf r = read_bdf(remote), l = read_bdf(local);
  ASSERT_TRUE(r.ok && l.ok);
  ASSERT_EQ(r.samples.size(), 20u);
  EXPECT_EQ(r.samples, l.samples);
  EXPECT_EQ(r.labels, l.labels);
  EXPECT_EQ(r.physical_max, l.physical_max);
  EXPECT_EQ(r.digital_max, l.digital_max);
  EXPECT_EQ(r.annotations, l.annotations);
  std::remove(remote.c_str());
  std::remove(local.c_str());
}

TEST(NetAmxctl, ARestartedPublisherIsAnnotatedAsANewSegment)
{
  const std::string at = endpoint(1), file = temp("restart.bdf");
  std::remove(file.c_str());
  pid_t serve = start(kAmxctl + " serve @0 --bind " + at, temp("serve1"));
  const pid_t record = start(kAmxctl + " record " + at + " " + file + " --seconds 6", temp("record"));
  sleep(2);
  kill(serve, SIGKILL);
  finish(serve, 5);
  serve = start(kAmxctl + " serve @0 --bind " + at, temp("serve2"));
  const int rc = finish(record, 40);
  kill(serve, SIGINT);
  finish(serve, 20);
  const std::string err = slurp(temp("record") + ".err");
  ASSERT_EQ(rc, 0) << err;
  EXPECT_NE(err.find("reconnecting"), std::string::npos) << err;
  const Bdf b = read_bdf(file);
  ASSERT_TRUE(b.ok);
  EXPECT_TRUE(has(b.annotations, "New segment (stream restarted)")) << err;
  EXPECT_TRUE(has(b.annotations, "Recording stop"));
  std::remove(file.c_str());
}

TEST(NetAmxctl, AnUnpluggedAmplifierEndsOnlyItsOwnStream)
{
  const std::string at = endpoint(4), kept = temp("kept.bdf"), gone = temp("gone.bdf");
  std::remove(kept.c_str());
  std::remove(gone.c_str());
  const pid_t serve = start("env AMVEX_EMULATE='kind=7;kind=2,unplug=1' " + kAmxctl +
                                " serve @0 @1 --rate 1000 --bind " + at + " --seconds 4",
                            temp("serve3"));
  std::string err;
  EXPECT_EQ(run("record " + at + "/amx1 " + gone + " --back all", &err), 0) << err;
  EXPECT_NE(err.find("the stream ended: the device was removed"), std::string::npos) << err;
  ASSERT_EQ(run("record " + at + "/amx0 " + kept + " --seconds 3 --back all --quiet", &err), 0) << err;
  EXPECT_NE(err.find("3000 frames (3.0 s) at 1000 samples/s from " + at +
                     "/amx0, 0 packet(s) lost, 0 frame(s) missing, "
                     "0 lost on the network"),
            std::string::npos)
      << err;
  EXPECT_EQ(finish(serve, 30), 1);  // one device failed
  const Bdf b = read_bdf(gone);
  ASSERT_TRUE(b.ok);
  EXPECT_TRUE(has(b.annotations, "Device removed"));
  std::remove(kept.c_str());
  std::remove(gone.c_str());
}

TEST(NetAmxctl, BadArgumentsAreRefused)
{
  std::string err;
  EXPECT_EQ(run("serve --buffer 0", &err), 2);
  EXPECT_NE(err.find("--buffer"), std::string::npos) << err;
  EXPECT_EQ(run("serve @0 @1 --name a --name a", &err), 2);
  EXPECT_NE(err.find("given twice"), std::string::npos) << err;
  EXPECT_EQ(run("record tcp://nohost " + temp("x.bdf"), &err), 2);
  EXPECT_NE(err.find("tcp://HOST:PORT"), std::string::npos) << err;
  // Nothing answers: a bounded wait, then a failure, and no file.
  EXPECT_EQ(run("record " + endpoint(2) + " " + temp("none.bdf"), &err), 1);
  EXPECT_NE(err.find("no stream from"), std::string::npos) << err;
  EXPECT_NE(access(temp("none.bdf").c_str(), F_OK), 0);
  // A malformed test clock is refused rather than ignored.
  const std::string prefix = temp("clock");
  EXPECT_EQ(finish(start("env AMXNET_TEST_CLOCK=x " + kAmxctl + " serve --bind " + endpoint(3), prefix), 30), 2);
  EXPECT_NE(slurp(prefix + ".err").find("AMXNET_TEST_CLOCK"), std::string::npos);
}

namespace {

// A key folder made by amxctl keygen; the fingerprint it printed.
std::string keygen(const std::string& dir)
{
  std::string err;
  EXPECT_EQ(run("keygen " + dir, &err), 0) << err;
  const std::string out = slurp(temp("run") + ".out");
  const size_t at = out.find("fingerprint ");
  return at == std::string::npos ? "" : out.substr(at + 12, out.find('\n', at) - at - 12);
}

std::string key_text(const std::string& path) { return slurp(path).substr(0, 40); }

void copy(const std::string& from, const std::string& to) { std::ofstream(to) << slurp(from); }

// Records 1 s of the stream at at; expects a refusal (exit 1) at once, not
// after record's 10 s wait for a stream, saying why, with no file made.
void expect_refused(const std::string& at, const std::string& args, const std::string& why)
{
  const std::string file = temp("refused.bdf");
  const pid_t record = start(kAmxctl + " record " + at + " " + file + " --seconds 1 " + args, temp("refused"));
  EXPECT_EQ(finish(record, 8), 1) << args;
  const std::string text = slurp(temp("refused") + ".err");
  EXPECT_NE(text.find(why), std::string::npos) << text;
  EXPECT_NE(access(file.c_str(), F_OK), 0);
}

}  // namespace

// Keys: only subscribers whose keys the publisher allows get in (nothing is
// sent to others), only the publisher of server.key is believed, every
// refusal says why on both ends at once, and no key ever appears in output.
TEST(NetAmxctl, KeysLetInOnlyTheAllowedSubscriberOfTheRightPublisher)
{
  const std::string dir = temp("keys");
  ASSERT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
  const std::string srv = dir + "/srv", sub = dir + "/sub", other = dir + "/other";
  const std::string srv_print = keygen(srv), other_print = keygen(other);
  keygen(sub);
  EXPECT_EQ(srv_print.size(), 24u) << srv_print;
  const std::string secret = key_text(srv + "/secret.key");
  // The secret key is the owner's alone, and a second keygen replaces nothing.
  struct stat st {};
  ASSERT_EQ(stat((srv + "/secret.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string err;
  EXPECT_EQ(run("keygen " + srv, &err), 1);
  EXPECT_NE(err.find("exists"), std::string::npos) << err;
  EXPECT_EQ(key_text(srv + "/secret.key"), secret);

  mkdir((srv + "/allowed").c_str(), 0700);
  mkdir((other + "/allowed").c_str(), 0700);
  copy(sub + "/public.key", srv + "/allowed/sub.key");
  copy(sub + "/public.key", other + "/allowed/sub.key");
  copy(srv + "/public.key", sub + "/server.key");
  copy(srv + "/public.key", other + "/server.key");  // other's own key is not allowed

  const std::string at = endpoint(5);
  const pid_t serve = start(kAmxctl + " serve @0 --rate 1000 --bind " + at + " --keys " + srv, temp("secure"));
  expect_refused(at, "--keys " + other, "refused this subscriber's key " + other_print);
  expect_refused(at, "", "requires keys");
  const std::string file = temp("secure.bdf");
  ASSERT_EQ(run("record " + at + " " + file + " --seconds 1 --back all --quiet --force --keys " + sub, &err), 0) << err;
  EXPECT_NE(err.find("1000 frames"), std::string::npos) << err;
  std::remove(file.c_str());
  kill(serve, SIGINT);
  EXPECT_EQ(finish(serve, 20), 0);
  const std::string log = slurp(temp("secure") + ".err");
  EXPECT_NE(log.find("serving with key " + srv_print), std::string::npos) << log;
  EXPECT_NE(log.find("its key " + other_print + " is not among the allowed keys"), std::string::npos) << log;
  EXPECT_NE(log.find("without keys"), std::string::npos) << log;
  // The refused ones never had a session: the allowed one is the first.
  EXPECT_NE(log.find("subscriber 1 of amx0 from sample 1\n"), std::string::npos) << log;
  for (const std::string& key : {secret, key_text(srv + "/public.key"), key_text(sub + "/public.key")})
    EXPECT_EQ(log.find(key), std::string::npos);

  // An impostor: a publisher with another key (one that even allows sub).
  const pid_t spoof = start(kAmxctl + " serve @0 --bind " + at + " --keys " + other, temp("spoof"));
  expect_refused(at, "--keys " + sub, "may be an impostor");
  kill(spoof, SIGINT);
  EXPECT_EQ(finish(spoof, 20), 0);
  EXPECT_NE(slurp(temp("spoof") + ".err").find("expects another publisher key"), std::string::npos);
  // And one without keys.
  const pid_t open = start(kAmxctl + " serve @0 --bind " + at + " --insecure --quiet", temp("open"));
  expect_refused(at, "--keys " + sub, "publisher at " + at);
  kill(open, SIGINT);
  EXPECT_EQ(finish(open, 20), 0);
  ASSERT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
}

// Beyond loopback only with keys or --insecure, which warns on every start
// (also when quiet) and then serves anyone.
TEST(NetAmxctl, ServingWithoutKeysBeyondLoopbackNeedsInsecure)
{
  std::string err;
  EXPECT_EQ(run("serve --bind tcp://0.0.0.0:" + std::to_string(20000 + getpid() % 20000), &err), 2);
  EXPECT_NE(err.find("needs --keys DIR"), std::string::npos) << err;
  EXPECT_EQ(run("serve --keys x --insecure", &err), 2);
  EXPECT_EQ(run("serve --bind tcp://*:1 --keys " + temp("none"), &err), 1);
  EXPECT_NE(err.find("cannot read the key file"), std::string::npos) << err;
  const std::string at = endpoint(6), file = temp("insecure.bdf");
  const pid_t serve = start(kAmxctl + " serve @0 --bind " + at + " --insecure --quiet", temp("insecure"));
  ASSERT_EQ(run("record " + at + " " + file + " --seconds 1 --quiet --force", &err), 0) << err;
  std::remove(file.c_str());
  kill(serve, SIGINT);
  EXPECT_EQ(finish(serve, 20), 0);
  EXPECT_NE(slurp(temp("insecure") + ".err").find("warning: serving without keys"), std::string::npos);
}

namespace {

// Announcements as publishers elsewhere would broadcast them, sent instead to
// this test's own UDP port on loopback every 0.1 s while it lives.
struct Announcements {
  std::atomic<bool> stop{false};
  std::thread thread;
  Announcements(int port, const std::vector<std::vector<uint8_t>>& payloads)
  {
    thread = std::thread([this, port, payloads] {
      const int fd = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(static_cast<uint16_t>(port));
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      for (int i = 0; i < 600 && !stop; ++i) {
        for (const std::vector<uint8_t>& p : payloads)
          sendto(fd, p.data(), p.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        usleep(100000);
      }
      close(fd);
    });
  }
  ~Announcements()
  {
    stop = true;
    thread.join();
  }
};

std::vector<uint8_t> beacon(const std::string& name, int port, const std::string& fingerprint, bool claim = false)
{
  amxnet::Beacon b;
  b.id = static_cast<uint64_t>(port);
  b.name = name;
  b.host = "elsewhere";
  b.claim = claim;
  if (!claim) b.port = static_cast<uint16_t>(port), b.channels = 40, b.rate = 1000;
  b.secure = !fingerprint.empty();
  b.fingerprint = fingerprint;
  std::vector<uint8_t> out;
  std::string error;
  EXPECT_TRUE(amxnet::encode_beacon(b, out, error)) << error;
  return out;
}

int tcp_port(const std::string& at) { return std::stoi(at.substr(at.rfind(':') + 1)); }

}  // namespace

// keygen --subscriber exchanges the public keys in one step and replaces
// nothing; a bare name is found through its announcement (foreign and
// malformed ones ignored), must be announced once, and must agree with the
// subscriber's keys before anything connects.
TEST(NetAmxctl, BareNamesAreResolvedFromAnnouncementsThatAgreeWithTheKeys)
{
  const std::string dir = temp("named");
  ASSERT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
  const std::string srv = dir + "/srv", sub = dir + "/sub";
  std::string err;
  ASSERT_EQ(run("keygen " + srv + " --subscriber " + sub + "/", &err), 0) << err;
  const std::string printed = slurp(temp("run") + ".out");
  const std::string srv_print = printed.substr(printed.find("fingerprint ") + 12, 24);
  EXPECT_EQ(key_text(sub + "/server.key"), key_text(srv + "/public.key"));
  EXPECT_EQ(key_text(srv + "/allowed/sub.key"), key_text(sub + "/public.key"));
  const std::string secret = key_text(sub + "/secret.key"), server = key_text(srv + "/public.key");
  EXPECT_EQ(run("keygen " + srv + " --subscriber " + sub, &err), 1);
  EXPECT_NE(err.find("exists"), std::string::npos) << err;
  ASSERT_EQ(run("keygen " + srv + " --subscriber " + dir + "/sub2", &err), 0) << err;  // srv's pair is kept
  EXPECT_EQ(key_text(sub + "/secret.key"), secret);
  EXPECT_EQ(key_text(dir + "/sub2/server.key"), server);
  const std::string print = keygen(dir + "/other");  // only for its fingerprint

  const int udp = 20000 + getpid() % 20000 + 7;
  const std::string amxctl = "env AMXNET_BEACON_PORT=" + std::to_string(udp) + " " + kAmxctl;
  const std::string at = endpoint(8), file = temp("named.bdf");
  const pid_t serve =
      start(kAmxctl + " serve @0 --name lab --rate 1000 --bind " + at + " --keys " + srv, temp("named"));
  std::vector<uint8_t> foreign = beacon("lab", tcp_port(at), "");
  foreign[3] = 2;
  auto named = [&](const std::string& args, std::string& out) {
    const int rc = finish(start(amxctl + " " + args, temp("name")), 30);
    out = slurp(temp("name") + ".out") + slurp(temp("name") + ".err");
    return rc;
  };
  std::string out;
  {
    Announcements a(udp,
                    {beacon("lab", tcp_port(at), srv_print), foreign, {'A', 'X', 'B'}, beacon("lab", 1, "", true)});
    const int rc = named("streams", out);
    if (rc == 1 && out.find("cannot be heard") != std::string::npos) GTEST_SKIP() << out;
    ASSERT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("1 stream(s) heard"), std::string::npos) << out;
    EXPECT_NE(out.find("tcp://127.0.0.1:" + std::to_string(tcp_port(at)) + " "), std::string::npos) << out;
    EXPECT_NE(out.find("secure"), std::string::npos) << out;
    ASSERT_EQ(named("record lab " + file + " --seconds 1 --quiet --force --keys " + sub, out), 0) << out;
    EXPECT_NE(out.find("1000 frames"), std::string::npos) << out;
    std::remove(file.c_str());
  }
  const std::vector<std::pair<std::vector<std::vector<uint8_t>>, std::string>> refusals = {
      {{beacon("lab", tcp_port(at), print)}, "announces the server key " + print + ", but server.key is"},
      {{beacon("lab", tcp_port(at), "")}, "announced as served without keys"},
      {{beacon("lab", tcp_port(at), print), beacon("lab", tcp_port(at) + 1, print)}, "announced by 2 publishers"},
      {{beacon("lab", 1, "", true)}, "no stream named \"lab\" heard within 2 s"},
  };
  for (const auto& [payloads, why] : refusals) {
    Announcements a(udp, payloads);
    EXPECT_EQ(named("record lab " + file + " --seconds 1 --keys " + sub, out), 1) << why;
    EXPECT_NE(out.find(why), std::string::npos) << out;
    EXPECT_NE(access(file.c_str(), F_OK), 0);
  }
  kill(serve, SIGINT);
  EXPECT_EQ(finish(serve, 20), 0);
  // Names a command line would take for a local amplifier are refused.
  for (const std::string name : {"123", "@lab"}) {
    EXPECT_EQ(run("serve --name " + name, &err), 2);
    EXPECT_NE(err.find("all digits"), std::string::npos) << err;
  }
  ASSERT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
}
