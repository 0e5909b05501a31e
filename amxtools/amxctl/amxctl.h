// amxctl: shared pieces of the host tool's subcommands (argument parsing,
// status names, device lookup, the stop flag, the acquisition loop). Built on
// amvex.h alone.
#pragma once
#include "amvex.h"
#include "amvex_clock.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace amxctl {

// Exit codes: 0 done, 1 the device or a file failed, 2 bad arguments.
enum { kExitFailed = 1, kExitUsage = 2 };

// AmxStatusName for the codes of AmxStatus; "status N" otherwise.
std::string status_name(int32_t status);
// Prints "amxctl: <what>: <status name>" and returns kExitFailed.
int fail(const std::string& what, int32_t status);
// Prints "amxctl: <message>" and returns kExitFailed.
int fail(const std::string& message);

// Command line of one subcommand: options are "--name value", "--name=value" or
// flags; every option may repeat (the values are kept in order).
struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::vector<std::string>> options;
  bool has(const std::string& name) const { return options.count(name) != 0; }
  std::string last(const std::string& name, const std::string& fallback = "") const;
};
// known: option name (without "--") -> takes a value. "--help"/"-h" set the
// option "help". Returns false with a message in error for anything else.
bool parse_args(int argc, char** argv, const std::map<std::string, bool>& known, Args& out, std::string& error);
// Parses a subcommand's arguments (argv[0] its name) with parse_args and checks
// the count of positional ones; on --help prints its usage and sets done.
// Returns 0, or kExitUsage after printing the problem and the usage.
int parse_command(int argc, char** argv, const std::map<std::string, bool>& known, size_t min_pos, size_t max_pos,
                  Args& args, bool& done);
bool parse_int(const std::string& text, long long lo, long long hi, long long& value);
bool parse_double(const std::string& text, double& value);

// Resolves "ID" (an identifier from `list`) or "@N" (the N-th device, from 0)
// and opens the device (AmxOpen). Returns 0 or the exit code after a message.
int open_device(const std::string& arg, int32_t& id);
// AmxInfo after open; returns 0 or the exit code after a message.
int device_info(int32_t id, AmxDeviceInfo& info);

// Set by SIGINT/SIGTERM (Ctrl-C): long-running subcommands stop cleanly. Atomic
// (and lock-free, so a signal handler may set it): amxview reads it on two threads.
extern std::atomic<bool> g_stop;
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set by a signal handler");
void install_stop_handler();
void sleep_ms(int ms);
double now_seconds();

// The acquisition loop shared by stream, record and impedance. Frames are
// handed out in blocks of whole frames (channels + 1 words), in sample-number
// order; lost packets and jumps in the sample numbers are reported first.
struct Acquisition {
  int32_t id = 0;
  int channels = 0;
  int rate = 0;
  double seconds = 0;  // 0: until Ctrl-C
  bool quiet = false;  // no status line on standard error
  const char* verb = "streamed";
  // Return false to stop (the callee printed why).
  std::function<bool(const int32_t* frames, int count)> on_frames;
  // Before frame index: `missing` frames skipped by the sample numbers, or
  // `lost_packets` more packets the library reports lost (AmxDebugState).
  std::function<bool(uint64_t index, uint32_t missing, int32_t lost_packets)> on_gap;
  std::function<void()> on_tick;  // once a second (impedance table)
  // Host times of the frames (now_seconds()): fed with every read before its
  // newest frames are handed out.
  AmxClock clock{};
  // Results.
  uint64_t frames = 0;   // frames delivered plus frames missing
  uint64_t missing = 0;  // frames missing in gaps
  int32_t lost_packets = 0;
  double elapsed = 0;
  bool removed = false;  // the device left the library's list (unplugged)
};
// The wall-clock time (seconds since 1970) at which the frame with this sample
// number left the device, by the acquisition's host-time fit.
double frame_wall_time(const Acquisition& a, uint32_t number);
// Starts the device (the rate is already set), runs until seconds of sample
// numbers have passed, Ctrl-C or a callback refuses, stops the device. Returns
// 0 or the exit code after a message. start replaces AmxStart (impedance).
int acquire(Acquisition& a, const std::function<int32_t(int32_t)>& start = AmxStart);

// One library filter of a chain; kind is the family's letter (B, W, A, H).
struct Filter {
  char kind;
  uint32_t handle;
};
// Builds the filter that text describes for one channel at rate: lp:ORDER:F,
// hp:ORDER:F, bp:ORDER:F1:F2, bs:ORDER:F1:F2, notch:F, window:F, baseline:F.
// False with a message in error.
bool make_filter(const std::string& text, int rate, Filter& out, std::string& error);

// Per-channel filter chains over blocks of interleaved frames. Invalid samples
// are held at the channel's last valid value on their way through the filters
// (so they add no step) and come out marked invalid again.
struct ChannelFilters {
  std::vector<std::vector<Filter>> chains;
  std::vector<int32_t> held, column;
  std::vector<char> invalid;

  ChannelFilters() = default;
  ChannelFilters(const ChannelFilters&) = delete;
  ChannelFilters& operator=(const ChannelFilters&) = delete;
  ~ChannelFilters();
  // One chain per channel of the filters texts describe, in their order.
  bool build(const std::vector<std::string>& texts, int rate, int channels, std::string& error);
  void apply(int32_t* frames, int count, int channels);
};

// The whole tool: argv[1] is the subcommand. Returns the exit code.
int run(int argc, char** argv);

// Subcommands: argc/argv start at the subcommand's name.
int cmd_list(int argc, char** argv);
int cmd_info(int argc, char** argv);
int cmd_stream(int argc, char** argv);
int cmd_record(int argc, char** argv);
int cmd_impedance(int argc, char** argv);
int cmd_lcd(int argc, char** argv);
int cmd_eeprom(int argc, char** argv);

}  // namespace amxctl
