#include "discovery/ServerFinderCore.h"

#include <arpa/inet.h>

#include <atomic>
#include <cstring>
#include <new>
#include <system_error>

#include "pelplat/utf16.h"
#include "transport/ConnectTarget.h"
#include "transport/Connection.h"
#include "transport/Status.h"
#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"
#include "sys/klog.h"

namespace {

constexpr const char* kSystemLogFile = "pellum_system.log";
constexpr uint8_t kProbeTag[4] = {'U', 'S', 'B', 'S'};
constexpr uint8_t kServerTag[4] = {'U', 'C', 'A', 'S'};
constexpr size_t kTagSize = sizeof kProbeTag;

// The words of the list probe, in order.
constexpr uint32_t kListProbeWords[] = {21, 0xFFFFFFFFu, 3, 400, 0x02050002u, 0, 0};

sockaddr_in BroadcastTo(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  return a;
}

bool StartsWith(const uint8_t* data, size_t length, const uint8_t (&tag)[kTagSize]) {
  return length >= kTagSize && memcmp(data, tag, kTagSize) == 0;
}

// A wire name of 32 characters; the last one is forced to NUL, so the name
// has at most 31 whatever the sender put there.
void ReadName(ByteReader& reader, WCHAR (&name)[ServerRecord::kNameChars]) {
  for (WCHAR& c : name) c = static_cast<WCHAR>(reader.U16());
  name[ServerRecord::kNameChars - 1] = 0;
}

// Set once the process-wide engine exists.
std::atomic<CServerFinderCore*> g_globalEngine{nullptr};

bool LookupInGlobalTable(const WCHAR* name, in_addr* address) {
  CServerFinderCore* engine = g_globalEngine.load();
  return engine && engine->FindServer(name, address);
}

}  // namespace

DiscoveryDestinations DiscoveryDestinations::Broadcast() {
  return DiscoveryDestinations{BroadcastTo(CServerFinderCore::kListPort),
                               BroadcastTo(CServerFinderCore::kServerPort)};
}

CServerFinderCore::CServerFinderCore() : CServerFinderCore(DiscoveryDestinations::Broadcast()) {}

CServerFinderCore::CServerFinderCore(const DiscoveryDestinations& destinations)
    : destinations_(destinations) {
  started_.Create(false, false);
}

CServerFinderCore::~CServerFinderCore() {
  StopThread();
  CServerFinderCore* self = this;
  if (g_globalEngine.compare_exchange_strong(self, nullptr)) SetDiscoveredServerLookup(nullptr);
  started_.Close();
}

CServerFinderCore& CServerFinderCore::Global() {
  static CServerFinderCore* const engine = [] {
    static CServerFinderCore instance;
    g_globalEngine.store(&instance);
    SetDiscoveredServerLookup(LookupInGlobalTable);
    return &instance;
  }();
  return *engine;
}

void CServerFinderCore::SetListener(IServerFinderListener* listener) {
  CxAutoLock hold(lock_.Record());
  listener_ = listener;
}

void CServerFinderCore::ClearListener() { SetListener(nullptr); }

void CServerFinderCore::NotifyListener() {
  CxAutoLock hold(lock_.Record());
  if (listener_) listener_->OnServersFound();
}

// ---------------------------------------------------------------- probes

std::vector<uint8_t> CServerFinderCore::ListProbe() {
  std::vector<uint8_t> probe(kListProbeSize);
  ByteWriter writer(probe.data(), probe.size());
  for (uint32_t word : kListProbeWords) writer.U32(word);
  return probe;
}

std::vector<uint8_t> CServerFinderCore::ServerProbe() {
  std::vector<uint8_t> probe(kServerProbeSize);
  ByteWriter writer(probe.data(), probe.size());
  writer.Bytes(kProbeTag, sizeof kProbeTag);
  writer.Zeros(kServerProbeSize - sizeof kProbeTag);
  return probe;
}

// ---------------------------------------------------------------- thread

void CServerFinderCore::StartThread() {
  std::lock_guard<std::mutex> hold(threadMutex_);
  if (thread_.joinable()) return;
  try {
    thread_ = std::thread(&CServerFinderCore::ReceiveThread, this);
  } catch (const std::system_error& e) {
    LogMessageA("CServerFinderCore::StartThread: no receive thread: %s", e.what());
    return;
  }
  // The thread sets the event on every way out of its first steps, so this
  // wait cannot outlast it.
  started_.Wait(INFINITE);
}

void CServerFinderCore::StopThread() {
  std::lock_guard<std::mutex> hold(threadMutex_);
  if (!thread_.joinable()) return;
  if (CConnection* connection = TakeConnectionRef()) {
    connection->StopLoop(1);
    connection->Release();
  }
  thread_.join();
}

void CServerFinderCore::ReceiveThread() {
  CConnection* connection = nullptr;
  bool startedSet = false;
  auto signalStarted = [&] {
    if (startedSet) return;
    startedSet = true;
    started_.Set();
  };
  try {
    connection = new CConnection(&CServerFinderCore::OnDatagram, this);
    ConnectTarget target;
    target.framing = 2;
    target.transport = 2;
    const bool open = connection->Open(target) == 1;
    signalStarted();
    if (open) {
      connection->ReceiveLoop();
      connection->Close();
    } else {
      AppendToLogFile(LogMessageA("Server Finder doesn't work"), kSystemLogFile);
    }
  } catch (const std::bad_alloc& e) {
    LogMessageA("Bad alloc in thread %s\n", e.what());
  } catch (const std::system_error& e) {
    LogMessageA("Error %d in thread %s\n", e.code().value(), e.what());
  } catch (...) {
    LogMessageA("Failure in exception");
  }
  signalStarted();
  if (connection) {
    DropConnection(connection);
    connection->Release();
  }
}

// ---------------------------------------------------------------- connection

void CServerFinderCore::StoreConnection(CConnection* connection) {
  std::lock_guard<std::mutex> hold(connectionMutex_);
  if (connection_ || !connection) return;
  connection->AddRef();
  connection_ = connection;
}

void CServerFinderCore::DropConnection(CConnection* connection) {
  CConnection* gone = nullptr;
  {
    std::lock_guard<std::mutex> hold(connectionMutex_);
    if (connection_ != connection) return;
    gone = connection_;
    connection_ = nullptr;
  }
  gone->Release();
}

CConnection* CServerFinderCore::TakeConnectionRef() {
  std::lock_guard<std::mutex> hold(connectionMutex_);
  if (connection_) connection_->AddRef();
  return connection_;
}

// ---------------------------------------------------------------- search

int CServerFinderCore::Search(int mode) {
  if (mode != kSearchAll) return kBadMode;
  CConnection* connection = TakeConnectionRef();
  if (!connection) return kNotOpen;
  searching_.store(1);
  {
    std::lock_guard<std::mutex> hold(tableMutex_);
    serverCount_ = 0;
  }
  const std::vector<uint8_t> listProbe = ListProbe();
  const std::vector<uint8_t> serverProbe = ServerProbe();
  connection->Send(0, listProbe.data(), static_cast<uint32_t>(listProbe.size()), &destinations_.listProbe);
  connection->Send(0, serverProbe.data(), static_cast<uint32_t>(serverProbe.size()), &destinations_.serverProbe);
  connection->Release();
  return kStatusOk;
}

int CServerFinderCore::OnDatagram(int, const sockaddr_in* sender, const uint8_t* data, int length,
                                  CConnection* connection, void* engine) {
  auto* self = static_cast<CServerFinderCore*>(engine);
  if (!data) {
    if (length == kNotifyConnected) self->StoreConnection(connection);
    if (length == kNotifyClosed) self->DropConnection(connection);
    return 0;
  }
  if (length > 0 && self->searching_.load() == 1) self->OnAnswer(sender, data, static_cast<size_t>(length));
  return 0;
}

void CServerFinderCore::OnAnswer(const sockaddr_in* sender, const uint8_t* data, size_t length) {
  ByteReader head(data, length);
  head.Skip(12);
  const bool listAnswer =
      length >= kListMinSize && head.U32() == kListMagic && !StartsWith(data, length, kProbeTag);
  if (listAnswer) {
    TakeListAnswer(data, length);
  } else if (length >= kServerAnswerMinSize && StartsWith(data, length, kServerTag) && sender) {
    TakeServerAnswer(sender->sin_addr.s_addr, data, length);
  }
  NotifyListener();
}

int CServerFinderCore::FindAddressLocked(uint32_t address) const {
  for (int i = 0; i < serverCount_; ++i) {
    if (servers_[i].address == address) return i;
  }
  return -1;
}

void CServerFinderCore::TakeListAnswer(const uint8_t* data, size_t length) {
  ByteReader reader(data, length);
  reader.Skip(16);
  const uint32_t count = reader.U32();
  std::lock_guard<std::mutex> hold(tableMutex_);
  for (uint32_t i = 0; i < count && reader.Remaining() >= ServerRecord::kWireSize; ++i) {
    ServerRecord record;
    ReadName(reader, record.name);
    // Already in network order: the first byte is the first dotted number.
    reader.Bytes(&record.address, sizeof record.address);
    if (!reader.Ok()) break;
    if (serverCount_ >= kMaxServers || FindAddressLocked(record.address) >= 0) break;
    servers_[serverCount_++] = record;
  }
}

void CServerFinderCore::TakeServerAnswer(uint32_t source, const uint8_t* data, size_t length) {
  ByteReader reader(data, length);
  reader.Skip(kTagSize);
  const uint32_t busy = reader.U32();
  const uint32_t wordA = reader.U32();
  const uint32_t wordB = reader.U32();
  reader.Skip(kServerNameOffset - reader.Position());
  ServerRecord record;
  ReadName(reader, record.name);
  record.address = source;
  if (!reader.Ok()) return;

  std::lock_guard<std::mutex> hold(tableMutex_);
  int index = FindAddressLocked(source);
  if (index < 0 && serverCount_ < kMaxServers) {
    index = serverCount_;
    servers_[serverCount_++] = record;
  }
  if (index >= 0 && (busy != 0 || (wordB == 0 && wordA != 0))) {
    memset(servers_[index].name, 0, sizeof servers_[index].name);
  }
}

// ---------------------------------------------------------------- readers

std::vector<ServerRecord> CServerFinderCore::Servers() const {
  std::lock_guard<std::mutex> hold(tableMutex_);
  return std::vector<ServerRecord>(servers_, servers_ + serverCount_);
}

bool CServerFinderCore::FindServer(const WCHAR* name, in_addr* address) const {
  if (!name || !address) return false;
  std::lock_guard<std::mutex> hold(tableMutex_);
  for (int i = 0; i < serverCount_; ++i) {
    const ServerRecord& record = servers_[i];
    if (record.name[0] == 0) continue;
    if (WcsNICmp(record.name, name, ServerRecord::kNameChars) == 0) {
      address->s_addr = record.address;
      return true;
    }
  }
  return false;
}
