// amxhost without edflib: the recorder refuses to open, so every recording
// ends before it starts with kNoRecorder as its error.
#include "amxhost.h"

namespace amxhost {

BdfRecorder::~BdfRecorder() = default;

bool BdfRecorder::open(const std::string& path, const AmxDeviceInfo&, const AmxInternalInfoRecord&, int, bool,
                       const std::string&)
{
  path_ = path;
  error_ = kNoRecorder;
  return false;
}

bool BdfRecorder::set_start(double) { return false; }
bool BdfRecorder::add(const int32_t*) { return false; }
void BdfRecorder::note_loss(uint64_t, uint32_t, int32_t) {}
bool BdfRecorder::close(uint64_t, const std::string&) { return false; }
bool BdfRecorder::set_label(int, const std::string&) { return false; }
bool BdfRecorder::set_scale(int, double) { return false; }
bool BdfRecorder::mark_at(uint64_t, const std::string&) { return false; }

}  // namespace amxhost
