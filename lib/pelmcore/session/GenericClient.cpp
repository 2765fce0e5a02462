#include "session/GenericClient.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "cryptlib/cipherblocks.h"
#include "cryptlib/cryptdata.h"
#include "pelplat/thread.h"
#include "pelplat/utf16.h"
#include "session/ClientSystemApi.h"
#include "transport/Connection.h"
#include "session/ControlEvents.h"
#include "transport/PacketPool.h"
#include "services/RemoteIo.h"
#include "session/SlotCipher.h"
#include "session/SlotDataProcessor.h"
#include "transport/Status.h"
#include "services/Tunnel.h"
#include "services/TunnelServices.h"
#include "session/ClientConnectionParameter.h"
#include "sys/ByteWriter.h"
#include "sys/klog.h"

namespace {

constexpr uint32_t kKeyExchangeBit = 2;
constexpr uint32_t kStatusTextChars = 128;
constexpr size_t kServerNameChars = 256;
constexpr char kOk[] = "<OK>";
constexpr char kFail[] = "<FAIL>";
// What the replay of a recorded session answers for the adapter address.
constexpr uint8_t kReplayMac[CGenericClient::kMacSize] = {0xCD, 0xBC, 0xAB, 0x0A, 0x00, 0x00};

// Connection states as the system API knows them.
enum State {
  kStarting = 0,
  kConnecting = 1,
  kConnected = 2,
  kVerifiedLast = 5,
  kTimeout = 7,
  kSystemError = 9,
  kConnectFailed = 10,
  kUnresolved = 11,
};

// The hardware address of the interface that carries the IPv4 address;
// false when none does.
bool MacOfAddress(in_addr address, uint8_t out[CGenericClient::kMacSize]) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  std::string name;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !a->ifa_name) continue;
    if (reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr == address.s_addr) {
      name = a->ifa_name;
      break;
    }
  }
  bool found = false;
  for (ifaddrs* a = list; a && !name.empty(); a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_PACKET || !a->ifa_name || name != a->ifa_name) continue;
    const sockaddr_ll* link = reinterpret_cast<const sockaddr_ll*>(a->ifa_addr);
    if (link->sll_halen == CGenericClient::kMacSize) {
      memcpy(out, link->sll_addr, CGenericClient::kMacSize);
      found = true;
    }
    break;
  }
  freeifaddrs(list);
  return found;
}

}  // namespace

void DisplayOrigin::Write(uint8_t out[kSize]) const {
  ByteWriter w(out, kSize);
  w.U8(valid);
  w.I16(x);
  w.I16(y);
  w.U16(width);
  w.U16(height);
}

CGenericClient::CGenericClient()
    : tunnelRegistry(new ybx::tunnel::TunnelRegistry), remoteIoLink(std::make_shared<qmt::RemoteIoLink>(this)) {}

CGenericClient::~CGenericClient() {
  CutRemoteIo();
  ReleaseAllProcessors();
  {
    CxAutoLock hold(&lock);
    delete cipher;
    cipher = nullptr;
  }
  if (hello) WipeBytes(hello, helloSize);  // it holds the password
  delete[] hello;
  hello = nullptr;
  {
    std::lock_guard<std::mutex> hold(logMutex);
    log.clear();
  }
  {
    std::lock_guard<std::mutex> hold(remoteIoMutex);
    remoteIo.reset();
  }
  delete tunnelRegistry;
  if (threadHandle) CloseHandle(threadHandle);
}

void CGenericClient::SetContext(void* context) { owner = context; }

// ---------------------------------------------------------------- the log

void CGenericClient::AppendLog(const std::string& entry) {
  std::lock_guard<std::mutex> hold(logMutex);
  log.push_back(entry);
}

void CGenericClient::AppendLog(const std::string& name, const char* status) {
  AppendLog(name + ":" + status);
}

std::vector<std::string> CGenericClient::ConnectionLog() {
  std::lock_guard<std::mutex> hold(logMutex);
  return log;
}

// ---------------------------------------------------------------- lifecycle

int CGenericClient::Init(CClientSystemApi* api, CClientConnectionParameter* parameters) {
  {
    std::lock_guard<std::mutex> hold(logMutex);
    log.clear();
  }
  if (!api || !parameters) return kStatusTaken;
  systemApi = api;
  params = parameters;
  // Only two displays have a layout and the slot tables hold four.
  const uint32_t extra = params->extraDisplayCount < kMaxDisplays ? params->extraDisplayCount : kMaxDisplays - 1;
  displayCount = extra + 1;
  systemApi->AttachObserver(this);
  // Every encrypted session uses the public-key exchange.
  params->keyExchangeWord = params->encryptionLevel != 0 ? kKeyExchangeBit : 0;
  ybx::tunnel::RegisterBuiltInServices(tunnelRegistry, systemApi, this);
  return kStatusOk;
}

DWORD CGenericClient::ThreadEntry(void* self) {
  try {
    static_cast<CGenericClient*>(self)->Run();
  } catch (...) {
    // An escaping exception ends the connection thread quietly.
  }
  return 0;
}

int CGenericClient::Start() {
  if (!params || !systemApi) return kStatusTaken;
  AppendLog("Parameters", kOk);
  std::lock_guard<std::mutex> hold(runMutex);
  if (started) {
    AppendLog("Already Started", kOk);
    return kStatusOk;
  }
  stopRequested.store(false);
  if (threadHandle) CloseHandle(threadHandle);
  threadHandle = CreateThread(nullptr, 0, ThreadEntry, this, 0, nullptr);
  if (!threadHandle) return kStatusTaken;
  started = true;
  return kStatusOk;
}

int CGenericClient::Stop() {
  std::lock_guard<std::mutex> hold(runMutex);
  if (!started) return kStatusTaken;
  started = false;
  stopRequested.store(true);
  if (CConnection* current = AddConnectionRef()) {
    current->StopLoop(1);
    current->Release();
  }
  HANDLE thread = threadHandle;
  threadHandle = nullptr;
  if (thread) {
    // The connection thread itself may end the session; it cannot wait for
    // its own end.
    if (runThread.load() != std::this_thread::get_id()) WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  return kStatusOk;
}

int CGenericClient::Disconnect(int sleepFirst) {
  if (CConnection* current = AddConnectionRef()) {
    current->StopLoop(sleepFirst);
    current->Release();
  }
  return kStatusOk;
}

void CGenericClient::OnRunEnded() {}

bool CGenericClient::EncryptionConfigured() const {
  return params && (params->keyExchangeWord & kKeyExchangeBit) != 0;
}

int CGenericClient::GetParamFlags() { return params ? static_cast<int>(params->useWanNetwork) : 0; }

int CGenericClient::Run() {
  runThread.store(std::this_thread::get_id());
  systemApi->SetConnectionState(kStarting, 0);
  CConnection* current = nullptr;
  {
    CxAutoLock hold(&lock);
    connection = new (std::nothrow) CConnection(nullptr, nullptr);
    current = connection;
    // A stop that came before the connection existed still cuts the
    // connect short.
    if (current && stopRequested.load()) current->StopLoop(0);
  }

  if (!current) {
    AppendLog("Impossible Error", kFail);
    systemApi->SetConnectionState(kSystemError, 1);
  } else {
    AppendLog("Connection", kOk);
    current->SetClient(this);
    ConnectTarget target;
    if (!ResolveServer(&target)) {
      AppendLog("Unknown Server", kFail);
      systemApi->SetConnectionState(kUnresolved, 0);
    } else {
      AppendLog("Connecting", kOk);
      systemApi->SetConnectionState(kConnecting, 0);
      if (current->Open(target) != 1) {
        AppendLog("No connection", kFail);
        WCHAR server[kServerNameChars] = {};
        GetServerName(server, kServerNameChars);
        WCHAR text[kServerNameChars] = {};
        SnwPrintf(text, kServerNameChars,
                  groupSession ? u"Cannot connect to group server \"%ls\"" : u"Cannot connect to server \"%ls\"",
                  server);
        if (reportFailure) {
          systemApi->SetMessageText(u"Connection:", text);
        } else {
          AppendLog(std::string("Critical Message - ") + "Connection:" + Utf16ToUtf8(text), kFail);
        }
        systemApi->SetConnectionState(kConnectFailed, 0);
      } else {
        AppendLog("Connected", kOk);
        const int32_t state = systemApi->ConnectionState();
        if (state >= kConnecting && state <= kVerifiedLast) {
          systemApi->SetConnectionState(kConnected, 0);
          AddRef();
          AppendLog("Processing", kOk);
          current->ReceiveLoop();
          Release();
        } else if (state == kTimeout) {
          AppendLog("Timeout", kFail);
        } else {
          AppendLog("Failure", kFail);
        }
        AppendLog("Terminated");
        current->Close();
        // Told after the close, so that the time-out, not the disconnect,
        // is what the session's end reports.
        if (current->ReplyTimedOut()) {
          AppendLog("Timeout", kFail);
          systemApi->SetConnectionState(kTimeout, 0);
        }
      }
    }
  }

  AppendLog("Cleaning UP");
  ReleaseAllProcessors();
  systemApi->SetInputSink(nullptr, nullptr);
  {
    CxAutoLock hold(&lock);
    connection = nullptr;
  }
  if (current) current->Release();
  OnRunEnded();
  systemApi->SetWaitEvents();
  return 0;
}

// ---------------------------------------------------------------- delivery

CSlotDataProcessor* CGenericClient::OpenSlotPayload(uint16_t slot, uint8_t* payload, uint32_t* length, int* result) {
  if (slot >= processorCount || slot >= kMaxSlots) {
    *result = kStatusFailure;
    return nullptr;
  }
  CSlotDataProcessor* processor = processors[slot];
  *result = kStatusOk;
  if (!processor) return nullptr;
  const SlotCipher slotCipher(cipher);
  if (slotCipher.Active()) {
    *result = slotCipher.Open(GetSlotFlags(slot), payload, length);
    if (*result != kStatusOk) {
      LogMessageA("CGenericClient: a payload for slot %u does not decrypt; the session ends",
                  static_cast<unsigned>(slot));
      return nullptr;
    }
  }
  if (systemApi) systemApi->NotifyTraffic();
  return processor;
}

uint8_t CGenericClient::DeliverSlotPacket(PacketBuffer* buffer, CConnection*) {
  CxAutoLock hold(&processorLock);
  uint32_t length = buffer->PayloadLength();
  CSlotDataProcessor* processor =
      OpenSlotPayload(buffer->Header().slot, buffer->Payload(), &length, &buffer->result);
  if (!processor) return 0;
  if (length != buffer->PayloadLength()) {
    PacketHeader header = buffer->Header();
    header.length = length;
    header.Write(buffer->data, buffer->area);
  }
  return processor->OnPacket(buffer);
}

int CGenericClient::DeliverSlotData(uint16_t slot, uint8_t* data, uint32_t length) {
  CxAutoLock hold(&processorLock);
  int result = kStatusOk;
  CSlotDataProcessor* processor = OpenSlotPayload(slot, data, &length, &result);
  return processor ? processor->OnData(data, length) : result;
}

int CGenericClient::FeedProcessor(uint16_t slot, const void* record, uint32_t length) {
  CxAutoLock hold(&processorLock);
  if (slot >= processorCount || slot >= kMaxSlots || !processors[slot]) return kStatusFailure;
  return processors[slot]->OnClientData(record, length);
}

int32_t CGenericClient::InputSink(const void* record, uint32_t length, void* context) {
  CGenericClient* client = static_cast<CGenericClient*>(context);
  return client->FeedProcessor(client->hidSlot, record, length) == kStatusOk ? 1 : 0;
}

int CGenericClient::OnControlMessage(const uint8_t* data, int length, CConnection* from) {
  if (!data && length != 0) {
    if (length == kNotifyConnected) {
      CxAutoLock hold(&processorLock);
      return OnConnected();
    }
    // Not under the processor lock: the end of the session removes the
    // input sink, whose lock is held around feeds that take the processor
    // lock.
    if (length == kNotifyClosed) return OnDisconnected();
    return kStatusFailure;
  }
  int result = kStatusNotConsumed;
  {
    CxAutoLock hold(&processorLock);
    if (controlProcessor) result = controlProcessor->OnData(data, static_cast<uint32_t>(length));
  }
  if (result != kStatusNotConsumed) return result;
  if (sessionState.load() == kHandshake) return OnHandshakeMessage(data, length, from);
  return kStatusNotConsumed;
}

int CGenericClient::FeedControlProcessor(const void* message, uint32_t length) {
  CxAutoLock hold(&processorLock);
  if (!controlProcessor) return kStatusNotConsumed;
  return controlProcessor->OnClientData(message, length);
}

int CGenericClient::GetSlotThreadMode(uint16_t slot) {
  if (slot == kControlSlot) return CSlotDataProcessor::kSharedDispatch;
  CxAutoLock hold(&processorLock);
  if (slot >= processorCount || slot >= kMaxSlots || !processors[slot])
    return CSlotDataProcessor::kSharedDispatch;
  return processors[slot]->GetThreadMode();
}

void CGenericClient::GetStatusText(WCHAR* buffer, uint32_t size) {
  if (buffer && size >= kStatusTextChars) WcsCopyTruncate(buffer, size, u"Initializing");
}

// ---------------------------------------------------------------- processors

int CGenericClient::NotifyProcessors(int value) {
  CxAutoLock hold(&processorLock);
  for (int i = 0; i < processorCount && i < kMaxSlots; ++i) {
    if (processors[i]) processors[i]->OnActivate(value);
  }
  if (controlProcessor) controlProcessor->OnActivate(value);
  return kStatusOk;
}

void CGenericClient::StreamSlotCallA(UINT_PTR a, UINT_PTR b) {
  CxAutoLock hold(&processorLock);
  const uint16_t slot = streamSlots[0];
  if (slot < processorCount && slot < kMaxSlots && processors[slot]) processors[slot]->OnWindowMoved(a, b);
}

void CGenericClient::StreamSlotCallB(UINT_PTR a, UINT_PTR b) {
  CxAutoLock hold(&processorLock);
  const uint16_t slot = streamSlots[0];
  if (slot < processorCount && slot < kMaxSlots && processors[slot]) processors[slot]->OnDisplayUpdated(a, b);
}

void CGenericClient::SetOptionValue(int flag) { reportFailure = flag; }

int CGenericClient::SetControlProcessor(CSlotDataProcessor* processor) {
  CxAutoLock hold(&processorLock);
  if (controlProcessor) return kStatusTaken;
  controlProcessor = processor;
  if (!processor) return kStatusOk;
  processor->Attach(kControlSlot, this);
  if (IControlEvents* control = dynamic_cast<IControlEvents*>(processor))
    control->HookClipboard();
  return kStatusOk;
}

int CGenericClient::ReleaseControlProcessor() {
  CSlotDataProcessor* processor;
  {
    CxAutoLock hold(&processorLock);
    processor = controlProcessor;
    controlProcessor = nullptr;
  }
  delete processor;
  return kStatusOk;
}

int CGenericClient::ReleaseSlotProcessor(uint16_t slot) {
  if (slot >= kMaxSlots) return kStatusTaken;
  CSlotDataProcessor* processor;
  {
    CxAutoLock hold(&processorLock);
    processor = processors[slot];
    processors[slot] = nullptr;
  }
  delete processor;
  return kStatusOk;
}

void CGenericClient::ReleaseAllProcessors() {
  // Taken out under the lock, so no delivery is inside a processor when it
  // goes; detached and deleted outside it.
  CSlotDataProcessor* gone[kMaxSlots + 1] = {};
  int n = 0;
  {
    CxAutoLock hold(&processorLock);
    for (int i = 0; i < processorCount && i < kMaxSlots; ++i) {
      if (processors[i]) gone[n++] = processors[i];
      processors[i] = nullptr;
    }
    if (controlProcessor) gone[n++] = controlProcessor;
    controlProcessor = nullptr;
    processorCount = 0;
  }
  for (int i = 0; i < n; ++i) {
    gone[i]->Attach(CSlotDataProcessor::kDetached, nullptr);
    delete gone[i];
  }
}

int CGenericClient::ConfigureSlotProcessor(uint16_t slot, const void* entry, uint32_t entryLength,
                                           const void* block, uint32_t blockLength) {
  if (slot >= kMaxSlots) return kStatusFailure;
  CxAutoLock hold(&processorLock);
  CSlotDataProcessor* processor = processors[slot];
  if (!processor) return kStatusOk;
  processor->SetSlotEntry(entry, entryLength, 0);
  return processor->SetParameters(block, blockLength, 0);
}

// ---------------------------------------------------------------- services

CSlotDataProcessor* CGenericClient::GetDisplayProcessor() {
  CxAutoLock hold(&processorLock);
  const uint16_t slot = displaySlots[0];
  if (mode == 2 || slot >= processorCount || slot >= kMaxSlots) return nullptr;
  return processors[slot];
}

bool CGenericClient::PostDisplayText(const char* text) {
  // A display processor has the client's system API; without one there is
  // no session window to show the text.
  if (!GetDisplayProcessor() || !systemApi) return false;
  systemApi->PostTextMessage(text);
  return true;
}

std::shared_ptr<qmt::RemoteIo> CGenericClient::GetRemoteIo(bool recreate) {
  std::lock_guard<std::mutex> hold(remoteIoMutex);
  if (recreate) remoteIo.reset();
  if (!remoteIo) {
    remoteIo = std::make_shared<qmt::RemoteIo>(remoteIoLink);
  }
  return remoteIo;
}

void CGenericClient::CutRemoteIo() { remoteIoLink->Cut(); }

CConnection* CGenericClient::AddConnectionRef() {
  CxAutoLock hold(&lock);
  if (connection) connection->AddRef();
  return connection;
}

int CGenericClient::GetServerName(WCHAR* buffer, uint32_t size) {
  if (!buffer || size == 0) return kStatusTaken;
  buffer[0] = 0;
  CxAutoLock hold(&lock);
  if (!connection || !params) return kStatusOk;
  if (params->groupName[0]) {
    groupSession = 1;
    WcsCopyTruncate(buffer, size, FieldText(params->groupName, kFieldChars).c_str());
  } else {
    WcsCopyTruncate(buffer, size, FieldText(params->serverAddress, kFieldChars).c_str());
  }
  return kStatusOk;
}

DisplayOrigin CGenericClient::GetDisplayOrigin(int index) {
  DisplayOrigin origin;
  if (index < 0 || index >= layoutCount || index >= 2) return origin;
  origin.valid = 1;
  origin.x = displayOrigin[index][0];
  origin.y = displayOrigin[index][1];
  origin.width = displaySize[index][0];
  origin.height = displaySize[index][1];
  return origin;
}

void CGenericClient::SetDisplayLayout(int32_t count, const uint16_t sizes[2][2], const int16_t origins[2][2]) {
  layoutCount = count < 0 ? 0 : (count > 2 ? 2 : count);
  memcpy(displaySize, sizes, sizeof displaySize);
  memcpy(displayOrigin, origins, sizeof displayOrigin);
}

int CGenericClient::SendClientEvent(uint32_t code, const void* data, uint32_t length) {
  CxAutoLock hold(&processorLock);
  IControlEvents* control = dynamic_cast<IControlEvents*>(controlProcessor);
  if (!control) return kStatusTaken;
  control->SendEvent(this, code, data, length);
  return kStatusOk;
}

void CGenericClient::LogFailure(const WCHAR* text) {
  CConnection* current = AddConnectionRef();
  if (!current) return;
  AppendLog(Utf16ToUtf8(text ? text : u""), kFail);
  if (params && params->autoDisconnect) {
    if (systemApi) systemApi->SetConnectionState(kConnectFailed, 0);
    current->StopLoop(0);
  }
  current->Release();
}

void CGenericClient::GetLocalMac(uint8_t out[kMacSize]) {
  memset(out, 0, kMacSize);
  if (replay) {
    memcpy(out, kReplayMac, kMacSize);
    return;
  }
  CConnection* current = AddConnectionRef();
  if (!current) return;
  const sockaddr_in local = current->LocalAddress(0);
  current->Release();
  if (local.sin_addr.s_addr == 0) return;
  if (!MacOfAddress(local.sin_addr, out)) memset(out, 0, kMacSize);
}
