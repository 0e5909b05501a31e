// amxctl serve and the recording of a served stream, as programs on loopback
// against the emulated amplifiers of AMVEX_EMULATE ("kind=7,rev=64;kind=2"):
// a remote recording holds what a local one of the same stream holds, a
// publisher killed and restarted is annotated as a new segment, and bad
// arguments are refused.
#include <gtest/gtest.h>

#include "net_process.h"

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
