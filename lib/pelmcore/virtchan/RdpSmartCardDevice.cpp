#include "virtchan/RdpSmartCardDevice.h"

#include <cstdio>
#include <new>
#include <system_error>
#include <utility>

#include "sys/klog.h"
#include "virtchan/smartcard/RdpSmartCardWIndowsAPI.h"

using namespace scardioctl;
using Api = CRdpSmartCardAPI;

namespace {

std::unique_ptr<CRdpSmartCardAPI> MakeWindowsApi() {
  return std::unique_ptr<CRdpSmartCardAPI>(new (std::nothrow) CRdpSmartCardWIndowsAPI());
}

std::atomic<CRdpSmartCardDevice::ApiMaker> gApiMaker{MakeWindowsApi};

bool NoneInline(uint32_t) { return false; }
std::atomic<CRdpSmartCardDevice::InlinePolicy> gInlinePolicy{NoneInline};

constexpr const char* kTwoStringA = "HandleContextAndTwoStringA";
constexpr const char* kTwoStringW = "HandleContextAndTwoStringW";
constexpr uint32_t kState = 0x000900C4;

}  // namespace

const CRdpSmartCardDevice::Operation CRdpSmartCardDevice::kOperations[] = {
    {kEstablishContext, &Api::EstablishContext, "SCARD_IOCTL_ESTABLISHCONTEXT", false},
    {kReleaseContext, &Api::HandleContext, "SCARD_IOCTL_RELEASECONTEXT", false},
    {kIsValidContext, &Api::HandleContext, nullptr, false},
    {kListReaderGroupsA, &Api::ListReaderGroups, nullptr, false},
    {kListReaderGroupsW, &Api::ListReaderGroups, nullptr, false},
    {kListReadersA, &Api::ListReaders, nullptr, false},
    {kListReadersW, &Api::ListReaders, nullptr, false},
    {kIntroduceReaderGroupA, &Api::ContextAndString, nullptr, false},
    {kIntroduceReaderGroupW, &Api::ContextAndString, nullptr, false},
    {kForgetReaderGroupA, &Api::ContextAndString, nullptr, false},
    {kForgetReaderGroupW, &Api::ContextAndString, nullptr, false},
    {kIntroduceReaderA, &Api::ContextAndTwoStringA, kTwoStringA, false},
    {kIntroduceReaderW, &Api::ContextAndTwoStringW, kTwoStringW, false},
    {kForgetReaderA, &Api::ContextAndString, nullptr, false},
    {kForgetReaderW, &Api::ContextAndString, nullptr, false},
    {kAddReaderToGroupA, &Api::ContextAndTwoStringA, kTwoStringA, false},
    {kAddReaderToGroupW, &Api::ContextAndTwoStringW, kTwoStringW, false},
    {kRemoveReaderFromGroupA, &Api::ContextAndTwoStringA, kTwoStringA, false},
    {kRemoveReaderFromGroupW, &Api::ContextAndTwoStringW, kTwoStringW, false},
    {kGetStatusChangeA, &Api::GetStatusChangeA, "SCARD_IOCTL_GETSTATUSCHANGEA", true},
    {kGetStatusChangeW, &Api::GetStatusChangeW, "SCARD_IOCTL_GETSTATUSCHANGEW", true},
    {kCancel, &Api::HandleContext, "SCARD_IOCTL_CANCEL", false},
    {kConnectA, &Api::ConnectA, "SCARD_IOCTL_CONNECTA", true},
    {kConnectW, &Api::ConnectW, "SCARD_IOCTL_CONNECTW", true},
    {kReconnect, &Api::Reconnect, "SCARD_IOCTL_RECONNECT", true},
    {kDisconnect, &Api::HCardAndDisposition, "SCARD_IOCTL_DISCONNECT", true},
    {kBeginTransaction, &Api::HCardAndDisposition, "SCARD_IOCTL_BEGINTRANSACTION", true},
    {kEndTransaction, &Api::HCardAndDisposition, "SCARD_IOCTL_ENDTRANSACTION", true},
    {kState, nullptr, nullptr, true},
    {kStatusA, &Api::Status, "SCARD_IOCTL_STATUS", false},
    {kStatusW, &Api::Status, "SCARD_IOCTL_STATUS", false},
    {kTransmit, &Api::Transmit, "TRANSMIT", true},
    {kControl, &Api::Control, "SCARD_IOCTL_CONTROL", true},
    {kGetAttrib, &Api::GetAttrib, "SCARD_IOCTL_GETATTRIB", true},
    {kSetAttrib, &Api::SetAttrib, "SCARD_IOCTL_SETATTRIB", true},
    {kAccessStartedEvent, &Api::AccessStartedEvent, "SCARD_IOCTL_ACCESSSTARTEDEVENT", true},
    {kLocateCardsByAtrA, &Api::LocateCardsByATRA, "SCARD_IOCTL_LOCATECARDSBYATRA", false},
    {kLocateCardsByAtrW, &Api::LocateCardsByATRW, "SCARD_IOCTL_LOCATECARDSBYATRW", false},
    {kReadCacheA, &Api::ReadCache, nullptr, false},
    {kReadCacheW, &Api::ReadCache, nullptr, false},
    {kWriteCacheA, &Api::WriteCache, nullptr, false},
    {kWriteCacheW, &Api::WriteCache, nullptr, false},
    {kGetTransmitCount, &Api::GetTransmitCount, "SCARD_IOCTL_GETTRANSMITCOUNT", true},
};
const size_t CRdpSmartCardDevice::kOperationCount = sizeof kOperations / sizeof kOperations[0];

const CRdpSmartCardDevice::Operation* CRdpSmartCardDevice::FindOperation(uint32_t code) {
  for (const Operation& op : kOperations) {
    if (op.code == code) return &op;
  }
  return nullptr;
}

bool CRdpSmartCardDevice::IsBlockingIoctl(uint32_t code) {
  const Operation* op = FindOperation(code);
  return op && op->blocking;
}

CRdpSmartCardDevice::ApiMaker CRdpSmartCardDevice::SetApiMaker(ApiMaker maker) {
  return gApiMaker.exchange(maker ? maker : MakeWindowsApi);
}

CRdpSmartCardDevice::InlinePolicy CRdpSmartCardDevice::SetInlinePolicy(InlinePolicy policy) {
  return gInlinePolicy.exchange(policy ? policy : NoneInline);
}

CRdpSmartCardDevice::CRdpSmartCardDevice(std::weak_ptr<IRdpDeviceChannel> channel, uint32_t deviceType,
                                         uint32_t deviceId, const char* dosName)
    : CRdpVDevice(std::move(channel), deviceType, deviceId, dosName) {
  std::unique_ptr<CRdpSmartCardAPI> api = gApiMaker.load()();
  if (api && api->Init()) api_ = std::move(api);
}

CRdpSmartCardDevice::~CRdpSmartCardDevice() {
  Stop();
  // Stop joined every thread but one that is this thread itself (the last
  // holder of the channel let it go from a request's thread): it touches
  // nothing of the device after that.
  for (Task& task : tasks_) {
    if (task.thread.joinable()) task.thread.detach();
  }
}

void CRdpSmartCardDevice::StopApi() {
  if (api_) api_->StopAll();
}

void CRdpSmartCardDevice::Stop() {
  std::list<Task> tasks;
  {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    stopped_ = true;
    tasks.swap(tasks_);
  }
  StopApi();
  const std::thread::id self = std::this_thread::get_id();
  for (Task& task : tasks) {
    if (!task.thread.joinable()) continue;
    if (task.thread.get_id() == self) {
      std::lock_guard<std::recursive_mutex> hold(mutex_);
      tasks_.push_back(std::move(task));
      continue;
    }
    task.thread.join();
  }
}

void CRdpSmartCardDevice::ReapTasks() {
  std::list<Task> finished;
  {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    for (auto it = tasks_.begin(); it != tasks_.end();) {
      auto next = std::next(it);
      if (it->done->load()) finished.splice(finished.end(), tasks_, it);
      it = next;
    }
  }
  for (Task& task : finished) task.thread.join();
}

bool CRdpSmartCardDevice::StartTask(const std::shared_ptr<CRdpRequestPacket>& request) {
  ReapTasks();
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  if (stopped_) return false;
  Task task{std::thread(), std::make_shared<std::atomic<bool>>(false)};
  std::shared_ptr<std::atomic<bool>> done = task.done;
  try {
    task.thread = std::thread([this, request, done] {
      AsyncIrpTask(request);
      done->store(true);
    });
  } catch (const std::system_error&) {
    LogMessageA("CRdpSmartCardDevice: no thread for request %u", request->Id());
    return false;
  }
  tasks_.push_back(std::move(task));
  return true;
}

void CRdpSmartCardDevice::AsyncIrpTask(const std::shared_ptr<CRdpRequestPacket>& request) {
  if (request->Fields().majorFunction == rdpdr::kMajorDeviceControl) DeviceControl(request);
}

bool CRdpSmartCardDevice::OnIrp(const std::shared_ptr<CRdpRequestPacket>& request) {
  if (!request) return true;
  switch (request->Fields().majorFunction) {
    case rdpdr::kMajorCreate:
    case rdpdr::kMajorClose:
      request->Complete(GetChannel(), 0);
      break;
    case rdpdr::kMajorDeviceControl:
      if (!IsBlockingIoctl(request->IoControlCode())) {
        DeviceControl(request);
        break;
      }
      // Here, in the order of the server's requests: a cancel that follows
      // reaches this one before its thread has run.
      if (api_) api_->Accept(request.get());
      if (gInlinePolicy.load()(request->IoControlCode())) {
        AsyncIrpTask(request);
        break;
      }
      if (!StartTask(request)) {
        if (api_) api_->Drop(request.get());
        request->Complete(GetChannel(), rdpdr::kStatusUnsuccessful);
      }
      break;
    default:
      request->Complete(GetChannel(), rdpdr::kStatusUnsuccessful);
      break;
  }
  return true;
}

int32_t CRdpSmartCardDevice::DeviceControl(const std::shared_ptr<CRdpRequestPacket>& request) {
  // The channel is taken only to complete: a call blocked in the service
  // must not keep it alive.
  const uint32_t code = request->IoControlCode();
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", code);
  request->SetOperationName(hex);
  const Operation* op = FindOperation(code);
  int32_t result = static_cast<int32_t>(rdpdr::kStatusUnsuccessful);
  if (op && op->call && api_) {
    if (op->name) request->SetOperationName(op->name);
    result = (api_.get()->*(op->call))(this, request.get());
  }
  if (result != 0 && !request->Completed()) request->Complete(GetChannel(), static_cast<uint32_t>(result));
  return result;
}

int32_t CRdpSmartCardDevice::CompleteData(IRdpScardRequest* request, const uint8_t* data, uint32_t length) {
  if (!request) return -1;
  return static_cast<CRdpRequestPacket*>(request)->CompleteData(this, data, length);
}

int32_t CRdpSmartCardDevice::CompleteStatus(IRdpScardRequest* request, uint32_t ioStatus) {
  if (!request) return -1;
  return static_cast<CRdpRequestPacket*>(request)->CompleteStatus(this, ioStatus);
}
