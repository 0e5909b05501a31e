// amxctl: the command-line tool's subcommands and what they share beyond the
// host library (amxhost.h): parsing a subcommand's arguments, opening the
// device named on the command line and setting it up for acquisition.
#pragma once
#include "amxhost.h"

#include <cstdint>
#include <map>
#include <string>

namespace amxctl {

using amxhost::Args;
using amxhost::fail;
using amxhost::kExitFailed;
using amxhost::kExitUsage;
using amxhost::parse_double;
using amxhost::parse_int;
using amxhost::status_name;

// Prints "amxctl COMMAND: message" and the running subcommand's usage on
// standard error; returns kExitUsage.
int bad_argument(const std::string& message);
// 0 when a recording may go to path, else bad_argument's code: an existing file
// only with force, never a pipe or a folder.
int refuse_output(const std::string& path, bool force);
// Parses a subcommand's arguments (argv[0] its name) with parse_args and checks
// the count of positional ones; on --help prints its usage and sets done.
// Returns 0, or bad_argument's kExitUsage.
int parse_command(int argc, char** argv, const std::map<std::string, bool>& known, size_t min_pos, size_t max_pos,
                  Args& args, bool& done);
// --seconds (fallback when absent) and --rate (0 when absent); 0 or
// bad_argument's kExitUsage.
int parse_seconds(const Args& args, double fallback, double& seconds);
int parse_rate(const Args& args, long long& rate);

// Opens the device that arg names ("ID" or "@N", see amxhost::choose_device).
// Returns 0 or the exit code after a message.
int open_device(const std::string& arg, int32_t& id);
// AmxInfo after open; returns 0 or the exit code after a message.
int device_info(int32_t id, AmxDeviceInfo& info);
// Sets the sampling rate (unless 0), reads it back and the device information,
// warning on standard error about a device that did not identify itself.
// Returns 0 or the exit code after a message.
int set_up(int32_t id, long long rate_arg, AmxDeviceInfo& info, int& rate);

// The whole tool: argv[1] is the subcommand. Returns the exit code.
int run(int argc, char** argv);

// Subcommands: argc/argv start at the subcommand's name.
int cmd_list(int argc, char** argv);
int cmd_info(int argc, char** argv);
int cmd_stream(int argc, char** argv);
int cmd_record(int argc, char** argv);
// `record` with two or more sources (cmd_record hands it on when
// records_several says so): one file on this host's clock.
bool records_several(int argc, char** argv);
int cmd_record_multi(int argc, char** argv);
int cmd_impedance(int argc, char** argv);
int cmd_lcd(int argc, char** argv);
int cmd_eeprom(int argc, char** argv);
#ifdef AMXCTL_HAVE_NET
// The stream service (serve.cpp, record_remote.cpp): serving amplifiers, and
// recording a served stream (cmd_record hands a stream's source, see
// amxnet::names_stream, on to cmd_record_remote).
int cmd_serve(int argc, char** argv);
int cmd_keygen(int argc, char** argv);
int cmd_streams(int argc, char** argv);
// An endpoint that only this machine can reach (served without keys).
bool is_loopback(const std::string& endpoint);
int cmd_record_remote(int argc, char** argv);
#endif

}  // namespace amxctl
