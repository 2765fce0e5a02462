#include "session/ClientSystemApi.h"

#include <unistd.h>

#include <cstring>

#include "pelplat/debugout.h"
#include "pelplat/utf16.h"
#include "session/ClientConnectionParameter.h"
#include "sys/klog.h"

namespace {

constexpr int kFrameBufferLine = 104;
constexpr char kFrameBufferFile[] = "ClientSystemApi.cpp";
constexpr uint8_t kPointerFlagMask = 0xFF;

// End reasons that stop the session client.
bool StopsClient(int reason) {
  switch (reason) {
    case 1:
    case 3:
    case 7:
    case 8:
    case 9:
    case 11:
      return true;
    default:
      return false;
  }
}

// Copies at most capacity - 1 bytes of text, cut at the first '.', and
// terminates.
void CopyHostName(char* out, size_t capacity, const char* text) {
  size_t n = 0;
  while (n + 1 < capacity && text[n] && text[n] != '.') {
    out[n] = text[n];
    ++n;
  }
  out[n] = 0;
}

}  // namespace

CClientSystemApi::CClientSystemApi() {
  endEvent.Create(false, false);
  connectEvent.Create(true, false);
  runEvent.Create(true, false);
  for (CxEvent& event : displayEvents) event.Create(true, true);
}

CClientSystemApi::~CClientSystemApi() {
  StopObserver();
  {
    std::lock_guard<std::mutex> hold(waiterMutex);
    if (waiter.joinable()) waiter.join();
  }
  endEvent.Close();
  connectEvent.Close();
  runEvent.Close();
  for (CxEvent& event : displayEvents) event.Close();
}

int CClientSystemApi::AttachObserver(ISessionObserver* client) {
  if (!client) return 0;
  // The reference keeps the client alive until an end path has stopped it,
  // however long its owner keeps it.
  client->HoldClient();
  ISessionObserver* none = nullptr;
  if (!observer.compare_exchange_strong(none, client)) client->DropClient();
  return 0;
}

void CClientSystemApi::StopObserver() {
  if (ISessionObserver* client = TakeObserver()) {
    client->Stop();
    client->DropClient();
  }
}

void CClientSystemApi::PostTextMessage(const char*) {}

void CClientSystemApi::SetWaitEvents() {
  connectEvent.Set();
  runEvent.Set();
  endEvent.Set();
}

void CClientSystemApi::ForwardPointerInput(int32_t x, int32_t y, int32_t buttons, int32_t xOffset,
                                           int32_t yOffset, int32_t moveFlag, int32_t display) {
  const int32_t record[7] = {buttons, x, y, moveFlag & kPointerFlagMask, yOffset, xOffset, display};
  CxAutoLock hold(&inputLock);
  if (inputSink) inputSink(record, sizeof record, inputContext);
}

int32_t CClientSystemApi::ForwardKeyInput(int32_t scanCode, int32_t lockBits) {
  const int32_t record[2] = {scanCode, lockBits};
  CxAutoLock hold(&inputLock);
  return inputSink ? inputSink(record, sizeof record, inputContext) : 0;
}

void CClientSystemApi::OnSessionEnded(int reason, int display) {
  if (StopsClient(reason)) StopObserver();
  connectEvent.Set();
  runEvent.Set();
  if (display >= 0 && display < kDisplayCount) displayEvents[display].Set();
}

void CClientSystemApi::StartWaiter() {
  std::lock_guard<std::mutex> hold(waiterMutex);
  if (waiter.joinable()) return;
  waiter = std::thread([this] { WaiterMain(); });
}

void CClientSystemApi::Stop() {
  StopObserver();
  // Whatever session there was has ended by now; one that never ran (its
  // thread could not start) set none of the waiter's events.
  connectEvent.Set();
  runEvent.Set();
  endEvent.Set();
  std::lock_guard<std::mutex> hold(waiterMutex);
  if (waiter.joinable()) waiter.join();
}

void CClientSystemApi::LockWindowTable() {}

void CClientSystemApi::UnlockWindowTable() {}

bool CClientSystemApi::HasPendingMessage() {
  std::lock_guard<std::mutex> hold(messageMutex);
  return messageText[0] != 0;
}

void CClientSystemApi::ShowMessageBox(const WCHAR* caption, const WCHAR* text, int) {
  LogMessageA("Msg box %ls - %ls\n", caption ? caption : u"", text ? text : u"");
}

void CClientSystemApi::ShowSystemMessageBox(const uint8_t* record) {
  if (!record) return;
  LogMessageA("System Msg box %s - %s\n", reinterpret_cast<const char*>(record + 16),
              reinterpret_cast<const char*>(record + 144));
}

void CClientSystemApi::WaiterMain() {
  connectEvent.Wait(INFINITE);
  runEvent.Wait(INFINITE);
  endEvent.Wait(INFINITE);
  const std::u16string text = MessageText();
  if (!text.empty()) {
    // A box may never show (no window left, messages off): the user reads
    // the reason on the console as well.
    ReportErrorToUser(Utf16ToUtf8(text));
    ShowMessageBox(u"Error", text.c_str(), 0);
    StoreMessageText(nullptr);
    StopObserver();
  }
  SetConnectionState(ConnectionState(), 1);
}

void CClientSystemApi::WaitDisplayEvents() {
  for (CxEvent& event : displayEvents) event.Wait(INFINITE);
}

bool CClientSystemApi::WaitFirstEvent(DWORD milliseconds) { return connectEvent.Wait(milliseconds); }

bool CClientSystemApi::WaitSecondEvent(DWORD milliseconds) { return runEvent.Wait(milliseconds); }

int32_t CClientSystemApi::IsConnected() { return connected.load(); }

bool CClientSystemApi::GetServerName(WCHAR* buffer, uint32_t size) {
  ISessionObserver* client = Observer();
  if (!client) return false;
  client->GetServerName(buffer, size);
  return true;
}

void CClientSystemApi::OnWindowActivation(bool active) {
  if (ISessionObserver* client = Observer()) client->NotifyProcessors(active ? 1 : 0);
}

// X has no device contexts: the stream slot draws through the surfaces and
// only needs the window.
void CClientSystemApi::OnWindowMoved(UINT_PTR windowId) {
  if (ISessionObserver* client = Observer()) client->StreamSlotCallA(windowId, 0);
}

void CClientSystemApi::OnDisplayPainted() {
  if (ISessionObserver* client = Observer()) client->StreamSlotCallB(0, 0);
}

const WCHAR* CClientSystemApi::GetErrorText() { return nullptr; }

void CClientSystemApi::SetMessageText(const WCHAR*, const WCHAR*) {}

bool CClientSystemApi::HasGui() { return false; }

void CClientSystemApi::GetEmptyInfo(std::vector<uint32_t>& list) { list.clear(); }

void CClientSystemApi::GetEmptyInfo(std::vector<uint8_t>& list) { list.clear(); }

int CClientSystemApi::SetDesktopGeometry(int32_t a, int32_t b, int32_t c, int32_t d) {
  desktopGeometry[0] = a;
  desktopGeometry[1] = b;
  desktopGeometry[2] = c;
  desktopGeometry[3] = d;
  return 0;
}

void CClientSystemApi::SetStreamOverlayFlag(int32_t flag, void*) { streamOverlayFlag.store(flag); }

CClipboardInterface* CClientSystemApi::GetClipboard() { return nullptr; }

UINT_PTR CClientSystemApi::GetDisplayWindowId(int) { return 0; }

void CClientSystemApi::NotifyTraffic() {}

ISurfaceKeeper* CClientSystemApi::LockFrameBuffer(int index) {
  if (index < 0 || index >= kDisplayCount) return nullptr;
  frameBufferLock.Acquire(kFrameBufferFile, kFrameBufferLine);
  ISurfaceKeeper* surface = surfaces[index];
  if (!surface) frameBufferLock.Release();
  return surface;
}

void CClientSystemApi::UnlockFrameBuffer(ISurfaceKeeper*) { frameBufferLock.Release(); }

void CClientSystemApi::SetInputSink(InputSink callback, void* context) {
  CxAutoLock hold(&inputLock);
  inputSink = callback;
  inputContext = context;
}

const char* CClientSystemApi::getClientName() {
  std::lock_guard<std::mutex> hold(nameMutex);
  if (clientName[0]) return clientName;
  ISessionObserver* client = observer.load();
  const CClientConnectionParameter* parameters = client ? client->Parameters() : nullptr;
  if (!parameters) return "undefined";
  if (parameters->UserDeviceName[0]) {
    // The device name comes from a launch file: bounded like everything else.
    size_t n = strnlen(parameters->UserDeviceName, sizeof parameters->UserDeviceName);
    if (n > kClientNameChars - 1) n = kClientNameChars - 1;
    memcpy(clientName, parameters->UserDeviceName, n);
    clientName[n] = 0;
    return clientName;
  }
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) == 0 && host[0]) {
    CopyHostName(clientName, kClientNameChars, host);
  }
  if (!clientName[0]) CopyHostName(clientName, kClientNameChars, "Pellum");
  return clientName;
}

void CClientSystemApi::StoreMessageText(const WCHAR* text) {
  std::lock_guard<std::mutex> hold(messageMutex);
  if (!text) {
    messageText[0] = 0;
    return;
  }
  WcsCopyTruncate(messageText, kMessageChars, text);
}

std::u16string CClientSystemApi::MessageText() {
  std::lock_guard<std::mutex> hold(messageMutex);
  return std::u16string(messageText);
}
