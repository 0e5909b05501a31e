// UAmvex: the amplifier device object TAmx (command protocol, settings,
// identification, acquisition start and stop), its packet decoding and the device
// ring buffers the host reads from. Builds on UsbDevice and UWDM.
#pragma once
#include "common/ring_buffer.h"
#include "device/CL_IMPED.h"
#include "calib/mem_stream.h"
#include "protocol.h"
#include "transport/UWDM.h"
#include "transport/UsbDevice.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace amx {

class TAmx;

// Cuts the byte stream into packets (frame layout in protocol.h).
class TAmxInputBuffer {
public:
  using THandler = void (*)(void* data, uint8_t type, uint8_t n, const uint8_t* payload);
  explicit TAmxInputBuffer(TAmx* device) : Device(device) {}
  void SetHandler(THandler handler, void* data) { Handler = handler, HandlerData = data; }
  void Feed(const uint8_t* block, uint32_t n);

  TAmx* Device;
  uint8_t Data[65536];
  uint32_t Length = 0;
  THandler Handler = nullptr;
  void* HandlerData = nullptr;
};

constexpr int MaxChannels = kMaxChannels;
constexpr uint32_t kUnsynchronised = 0x7FFFFFFF;  // ExpectedSeq until the first sample packet
constexpr int RingItems = 65536;
constexpr int UartStartSlots = 16384;  // more than the records a full UART ring can hold

class TAmx : public TUsbDevice {
public:
  TAmx(TDeviceBus& bus, const std::string& path);
  ~TAmx() override;

  void Close() override;
  bool Reopen() override;
  void DataReceived(const uint8_t* block, uint32_t n) override;

  // Command protocol.
  bool SendCommand(uint8_t code, const uint8_t* payload = nullptr, uint8_t n = 0);
  int WaitReply(uint8_t code, uint8_t* destination, int maximum, uint32_t timeoutMs, bool keepReader);
  bool Start();
  bool Stop();
  bool Reset();
  bool SetSampling(uint32_t rate);
  bool SetSync(int a, int b);
  bool SetPullUp(int on, int mode);
  bool SetAnalogConfig(uint32_t word);
  bool SendUartBaud();
  bool SetMasterClock(int32_t& value);
  bool ReadEepromChunk(uint8_t* destination, uint8_t address, uint8_t n, bool user);
  bool WriteEepromChunk(const uint8_t* source, uint8_t address, uint8_t n, bool user);
  int ReadEeprom(uint8_t* destination, int n, bool user);
  int WriteEeprom(const uint8_t* source, int n, bool user);
  int QueryIdent();
  bool Identify();
  double LsbVolts() const;
  bool GetInfo(void* record, int size) const;
  bool SetLcdText(const char* text);  // display codes of at most 16 characters

  // Settings as the device holds them.
  uint32_t Rate() const { return Sampling; }
  void GetSync(int32_t& a, int32_t& b) const { a = SyncA, b = SyncB; }
  uint32_t Analog() const { return AnalogConfig; }
  int32_t UartBaudRate() const { return UartBaud; }
  void SetUartBaudRate(int32_t baud);  // kept only when the device has that rate
  int32_t Kind() const { return DeviceKind; }
  int32_t Revision() const { return DeviceRevision; }
  // The impedance reference; a running measurement reads it on the reader thread.
  int32_t ImpedanceReference() const { return ImpedanceRef; }
  bool SetImpedanceRef(int32_t channel);  // false outside the 40 channels

  // Impedance measurement (CL_IMPED).
  bool ImpedanceStart();
  bool ImpedanceStop();
  int ImpedanceRead(int32_t* values, int size);
  void FeedImpedance(const int32_t* frame, int bytes);  // reader thread, DataLock held

  // Packet decoding and the host's reads.
  void HandlePacket(uint8_t type, uint8_t n, const uint8_t* payload);
  int StoreFrame(const int32_t* frame, int bytes);
  int ReadSamples(void* destination, int size);
  int StoreUart(uint32_t number, const uint8_t* data, int m);
  int ReadUart(void* destination, int size);

  TAmxInputBuffer InputBuffer{this};

  // Reply hand-over from the reader thread, guarded by DataLock.
  uint8_t ReplyCode = 0;
  uint8_t ReplyLength = 0;
  uint8_t ReplyData[256] = {};
  bool ReplyArrived = false;
  bool ReplyAwaited = false;

  bool Running = false;
  // Closed by a power suspend: the host must open the device again (AmxOpen)
  // before anything else; until then the exports report it not open.
  std::atomic<bool> Suspended{false};
  std::atomic<bool> Calibrated{false};
  std::atomic<bool> DebugMode{false};
  uint32_t ChannelCount = 40;
  int32_t CalNumber1 = 0, CalNumber2 = 0;
  double CalDate = 0;  // days since 30 December 1899, fraction = time of day
  int32_t Offsets[MaxChannels] = {};
  double Gains[MaxChannels];
  int32_t RefResistances[MaxChannels];
  bool Identified = false;

  // Stream state, touched by the reader thread while acquisition runs.
  uint32_t ExpectedSeq = kUnsynchronised;
  std::atomic<uint32_t> LostPackets{0};
  uint32_t PacketCounter = 32;
  uint32_t FrameChannels = 40;  // ChannelCount when acquisition started: fixes the frame size

  std::unique_ptr<TRingBuffer<uint8_t>> RawLog, UartRecords, UartLog;
  std::unique_ptr<TRingBuffer<int32_t>> Samples;
  int64_t SampleReadPos = 1, UartReadPos = 1;
  // Start positions of the latest UART records, so a reader behind an overwrite
  // can find the next whole record.
  std::vector<int64_t> UartStarts;
  uint64_t UartStartCount = 0, UartReadRecord = 0;
  TCriticalSection DataLock;

  bool WideGain = false, Extended = false, HasUart = false;
  std::unique_ptr<tImpMes> Measurements[MaxChannels];  // guarded by DataLock

private:
  uint32_t Sampling = 500;
  int32_t SyncA = 0, SyncB = 0;
  uint32_t AnalogConfig = 0x80000000u;
  int32_t UartBaud = 19200;
  int32_t DeviceKind = 0, DeviceRevision = 0;
  int32_t ImpedanceRef = 0;  // guarded by DataLock

  static void OnPacket(void* self, uint8_t type, uint8_t n, const uint8_t* payload);
  void EmptyRings();  // the rings and the stream state of a new start
  bool ApplyCalibrationRecord(const uint8_t* record);
};

// The library's device list: a TAmx for every interface path of the amplifiers.
// Without watch, its notifications wait for Watch.
class TAmxList : public TWdmDeviceList {
public:
  TAmxList(TDeviceBus& bus, TCriticalSection* listLock, bool watch = true);
  TWdmDevice* CreateDevice(const std::string& path) override;
  TAmx* Amx(int32_t id) const { return static_cast<TAmx*>(FindById(id)); }
};

// Volts per count for an amplifier gain.
inline double LsbWeight(double gain) { return 2.5 / (gain * 2097151.0); }

// Decodes one 3-byte big-endian sample: kInvalidSample when flagged invalid,
// else the 22-bit count (value / 4, truncated toward zero).
int32_t DecodeSample(const uint8_t* b);

// The ring's retained bytes, oldest first (the debug dumps).
void DumpRing(const TRingBuffer<uint8_t>& ring, TMemoryStream& stream);

// The library's load and unload (UAmvexEx), run by the load hooks there; a test
// that links the objects into a Windows program gets no DLL attach and calls them.
void LibraryLoad();
void LibraryUnload();

}  // namespace amx
