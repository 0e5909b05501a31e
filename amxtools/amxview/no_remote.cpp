// amxview without the stream service (built where libzmq was missing):
// subscribing refuses with kNoStreams, and no stream is ever announced.
#include "viewer.h"

namespace amxview {

bool check_stream_source(const std::string&, std::string& error)
{
  error = kNoStreams;
  return false;
}

bool load_stream_keys(const std::string&, amxnet::Keys&, std::string& error)
{
  error = kNoStreams;
  return false;
}

bool Acquirer::start_remote(const std::string&, const amxnet::Keys&, std::string& error)
{
  error = kNoStreams;
  return false;
}

void Discovery::start() {}

}  // namespace amxview
