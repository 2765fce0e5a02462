// The session core of one connection to a host server. CHtClient is the only
// concrete client. Its users reach it through the ports it implements: the
// connection (delivery, notifications, thread modes and the slot tables the
// handshake fixed), the slot processors, the system API and the tunnel
// services.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pelplat/wintypes.h"
#include "sys/Atom.h"
#include "services/TunnelClient.h"
#include "session/SessionObserver.h"
#include "session/SlotHost.h"
#include "sys/_synchro.h"
#include "transport/ConnectionClient.h"

class CClientConnectionParameter;
class CClientSystemApi;
class CConnection;
class CSessionCipher;
class CSlotDataProcessor;
struct ConnectTarget;
struct PacketBuffer;
namespace ybx {
namespace tunnel {
class TunnelRegistry;
}
}  // namespace ybx
namespace qmt {
class RemoteIo;
class RemoteIoLink;
}

// A display's place in the layout: {u8 valid; i16 x, i16 y; u16 width,
// u16 height}, all zero for a display that is not laid out.
struct DisplayOrigin {
  static constexpr size_t kSize = 9;
  uint8_t valid = 0;
  int16_t x = 0;
  int16_t y = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  // The packed nine bytes.
  void Write(uint8_t out[kSize]) const;
};

class CGenericClient : public CAtom, public IConnectionClient, public ISlotHost, public ISessionObserver,
                       public ITunnelClient {
 public:
  static constexpr int kMaxSlots = 20;
  static constexpr int kMaxDisplays = kSlotTableSize;
  static constexpr uint16_t kNoSlot = 0xFFFF;
  static constexpr uint16_t kControlSlot = 0xFAFA;
  static constexpr size_t kServerKeySize = 132;
  static constexpr size_t kMacSize = 6;
  // Session states.
  static constexpr int32_t kHandshake = 0;
  static constexpr int32_t kRefused = 1;
  static constexpr int32_t kRunning = 100;

  CGenericClient();
  ~CGenericClient() override;

  virtual void SetContext(void* owner);
  virtual int Init(CClientSystemApi* api, CClientConnectionParameter* parameters);
  virtual int Start();
  int Stop() override;
  virtual int Disconnect(int sleepFirst);
  virtual void OnRunEnded();
  int GetParamFlags() override;
  virtual int Run();
  virtual bool ResolveServer(ConnectTarget* target) = 0;
  virtual int OnHandshakeMessage(const uint8_t* data, int length, CConnection* connection) = 0;
  virtual int DeliverSlotData(uint16_t slot, uint8_t* data, uint32_t length);
  // 1 when the processor kept the buffer; the buffer's result says how the
  // delivery went.
  uint8_t DeliverSlotPacket(PacketBuffer* buffer, CConnection* connection) override;
  virtual int FeedProcessor(uint16_t slot, const void* record, uint32_t length);
  // A notification (103 connected, 104 closed) comes without data.
  int OnControlMessage(const uint8_t* data, int length, CConnection* connection) override;
  virtual int FeedControlProcessor(const void* message, uint32_t length);
  int GetSlotThreadMode(uint16_t slot) override;
  virtual uint32_t QueryFeature() = 0;
  // The caller keeps its buffer. Answers the payload bytes sent, 0 when
  // nothing was sent, 3 without a connection.
  int SendOnSlot(uint16_t slot, const void* data, uint32_t length) override = 0;
  virtual int SendControl(uint16_t kind, const void* data, uint32_t length) = 0;
  virtual int BuildHello(CClientConnectionParameter* parameters) = 0;
  virtual void GetStatusText(WCHAR* buffer, uint32_t size);
  virtual const char* GetClientType() = 0;
  virtual uint16_t GetSlotFlags(uint16_t slot) = 0;
  virtual int OnConnected() = 0;
  virtual int OnDisconnected() = 0;
  int NotifyProcessors(int value) override;
  void StreamSlotCallA(UINT_PTR a, UINT_PTR b) override;
  void StreamSlotCallB(UINT_PTR a, UINT_PTR b) override;
  virtual void SetOptionValue(int flag);
  virtual int RegisterSlotProcessor(uint16_t slot, CSlotDataProcessor* processor) = 0;
  virtual int SetControlProcessor(CSlotDataProcessor* processor);
  virtual int ReleaseControlProcessor();
  virtual int ReleaseSlotProcessor(uint16_t slot);
  virtual int ConfigureSlotProcessor(uint16_t slot, const void* entry, uint32_t entryLength,
                                     const void* block, uint32_t blockLength);

  // Detaches and deletes every processor and the control processor.
  void ReleaseAllProcessors();
  // The first step of tearing a client down, taken while the whole object
  // still stands: threads that hold remote I/O objects send nothing more.
  void CutRemoteIo();

  // The group name (a group session) or the server address, cut to fit;
  // -1 when size is 0.
  int GetServerName(WCHAR* buffer, uint32_t size) override;
  DisplayOrigin GetDisplayOrigin(int index);
  // Written by the main window right after it creates the client.
  void SetDisplayLayout(int32_t count, const uint16_t sizes[2][2], const int16_t origins[2][2]);
  // Control message 273 with an event record around the data; -1 without a
  // control processor.
  int SendClientEvent(uint32_t code, const void* data, uint32_t length) override;
  ybx::tunnel::TunnelRegistry* GetTunnelRegistry() const { return tunnelRegistry; }
  // The processor at the first display slot; null without one or in mode
  // 2. Processors come and go on the connection thread: other threads use
  // the answer only while they hold the processor lock.
  CSlotDataProcessor* GetDisplayProcessor();
  bool PostDisplayText(const char* text) override;
  // The session's remote-I/O object, made on first use; `recreate` drops
  // the old one first.
  std::shared_ptr<qmt::RemoteIo> GetRemoteIo(bool recreate) override;
  // Appends the text with "<FAIL>" to the log while connected; with the
  // parameters' auto-disconnect also ends the session.
  void LogFailure(const WCHAR* text);
  // The connection with one more reference, or null.
  CConnection* AddConnectionRef();
  // The hardware address of the adapter the session runs over (zero when
  // unknown).
  void GetLocalMac(uint8_t out[kMacSize]);

  CClientSystemApi* SystemApi() const override { return systemApi; }
  CClientConnectionParameter* Parameters() const override { return params; }
  CSessionCipher* Cipher() const { return cipher; }
  void* Context() const { return owner; }
  int32_t SessionState() const { return sessionState.load(); }
  bool Replaying() const { return replay != 0; }
  // The parameters ask for the public-key exchange.
  bool EncryptionConfigured() const;
  // ... and the session has a cipher: the handshake and some control
  // messages are encrypted.
  bool EncryptedSession() const { return cipher && EncryptionConfigured(); }
  uint16_t HidSlot() const { return hidSlot; }
  // A copy: the connection thread appends while the session runs.
  std::vector<std::string> ConnectionLog();

  // The connection's view: the slot tables it routes by and the replay flag.
  void SetReplaying(bool replaying) override { replay = replaying ? 1 : 0; }
  const uint16_t* DisplaySlotTable() const override { return displaySlots; }
  const uint16_t* StreamSlotTable() const override { return streamSlots; }
  bool RemapsSlots() const override { return remap != 0; }

  // The processors' and the system API's view: the client itself, counted.
  CGenericClient* SlotClient() override { return this; }
  void HoldClient() override { AddRef(); }
  void DropClient() override { Release(); }
  // Only the host protocol's client negotiates the layout; any other keeps
  // the server's default.
  bool AlignsContainers() override { return true; }

 protected:
  // Set once Stop has been asked; long waits of the connection thread end
  // on it.
  const std::atomic<bool>& StopRequested() const { return stopRequested; }

  // Under the processor lock: the processor of a slot with a payload for
  // it, decrypted in place when the slot asks for it (*length becomes the
  // plain length), the traffic noted. Null with *result kStatusOk for a slot
  // without a processor, null with the failure in *result for a slot out of
  // range or a payload that does not decrypt.
  CSlotDataProcessor* OpenSlotPayload(uint16_t slot, uint8_t* payload, uint32_t* length, int* result);
  void AppendLog(const std::string& entry);
  void AppendLog(const std::string& name, const char* status);
  // The input sink installed when the session runs: a record from the
  // local side for the keyboard and pointer slot.
  static int32_t InputSink(const void* record, uint32_t length, void* context);

  void* owner = nullptr;
  ybx::tunnel::TunnelRegistry* tunnelRegistry = nullptr;
  CClientConnectionParameter* params = nullptr;
  CClientSystemApi* systemApi = nullptr;
  uint8_t serverKey[kServerKeySize] = {};
  int32_t mode = 0;
  uint16_t audioSlot = kNoSlot;
  uint16_t displaySlots[kMaxDisplays] = {kNoSlot, kNoSlot, kNoSlot, kNoSlot};
  uint16_t hidSlot = kNoSlot;
  uint16_t streamSlots[kMaxDisplays] = {kNoSlot, kNoSlot, kNoSlot, kNoSlot};
  uint16_t channelSlot = kNoSlot;
  uint32_t displayCount = 1;
  uint8_t remap = 0;
  uint8_t* hello = nullptr;
  uint32_t helloSize = 0;
  CConnection* connection = nullptr;  // guarded by the client lock
  CSessionCipher* cipher = nullptr;
  CSlotDataProcessor* controlProcessor = nullptr;
  uint16_t processorCount = 0;
  CSlotDataProcessor* processors[kMaxSlots] = {};
  CxLock processorLock;
  std::atomic<int32_t> sessionState{kHandshake};
  HANDLE threadHandle = nullptr;
  bool started = false;
  int32_t reportFailure = 1;
  int32_t groupSession = 0;
  uint8_t replay = 0;
  std::shared_ptr<qmt::RemoteIo> remoteIo;
  // Shared by every object handed out; cut when the client goes.
  std::shared_ptr<qmt::RemoteIoLink> remoteIoLink;
  std::mutex remoteIoMutex;
  int32_t layoutCount = 0;
  uint16_t displaySize[2][2] = {};    // width, height of displays 0 and 1
  int16_t displayOrigin[2][2] = {};   // x, y of displays 0 and 1
  std::vector<std::string> log;

 private:
  static DWORD ThreadEntry(void* self);

  // Start and Stop run one at a time; a second Stop finds nothing to stop.
  std::mutex runMutex;
  // Set by Stop before the connection exists, so that Run never starts a
  // connect that nobody waits for.
  std::atomic<bool> stopRequested{false};
  std::atomic<std::thread::id> runThread{};
  std::mutex logMutex;
};
