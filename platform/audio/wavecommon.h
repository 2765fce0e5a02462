// Shared by the wave output and input fronts and their backends.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pelplat/wavebackend.h"

namespace pelplat {
namespace wave {

// The installed backend, else the ALSA one.
IWaveBackend& CurrentBackend();
IWaveBackend& AlsaBackend();
// Bytes per frame of a PCM format the devices accept; 0 for any other.
uint32_t PcmFrameBytes(const WAVEFORMATEX& format);
// Records the reason LastOpenFailure answers on this thread.
void SetOpenFailure(const std::string& reason);
// One debugger line per distinct text, so a device that keeps failing does
// not flood the log.
void LogOnce(const std::string& text);
// The same for a failure the user must see (a device that cannot open): on
// the console as well, once per distinct text.
void ReportOnce(const std::string& text);

// Open devices by handle. A backend's progress call holds only a weak link
// to its device, so it can never reach one that closed.
template <class Device>
class HandleTable {
 public:
  static HandleTable& Get() {
    static auto* table = new HandleTable;  // never destroyed: devices may close at exit
    return *table;
  }
  bool Known(Device* device) {
    std::lock_guard<std::mutex> lock(mutex_);
    return device && devices_.count(device) != 0;
  }
  void Add(const std::shared_ptr<Device>& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_[device.get()] = device;
  }
  // Removes the device and hands back the last link the table held.
  std::shared_ptr<Device> Take(Device* device) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(device);
    if (it == devices_.end()) return nullptr;
    std::shared_ptr<Device> kept = std::move(it->second);
    devices_.erase(it);
    return kept;
  }

 private:
  std::mutex mutex_;
  std::map<Device*, std::shared_ptr<Device>> devices_;
};

// The checks an open makes before any device exists; the frame size of the
// format in *frameBytes.
MMRESULT CheckOpen(UINT deviceId, UINT deviceCount, const WAVEFORMATEX* format, DWORD callbackType,
                   bool threadCallbacks, uint32_t* frameBytes);
// Header flag changes shared by output and input (after the handle check).
MMRESULT PrepareFlags(WAVEHDR* header, UINT size);
// Needs only the header: a notification may be handled after its device
// closed, and the buffer must still come back to its owner.
MMRESULT UnprepareFlags(WAVEHDR* header, UINT size);
MMRESULT CheckQueueable(const WAVEHDR* header, UINT size);
void MarkDone(WAVEHDR* header, std::vector<WAVEHDR*>* done);

}  // namespace wave
}  // namespace pelplat
