// The installed video decoders as a mask of the subtypes they accept.
#include "FormatRecordToMediaType.h"
#include "Sorvid.h"

namespace {

uint32_t MaskOfFilter(IBaseFilter* filter) {
  uint32_t mask = 0;
  IEnumPins* pins = nullptr;
  if (FAILED(filter->EnumPins(&pins))) return 0;
  IPin* pin = nullptr;
  while (pins->Next(1, &pin, nullptr) == S_OK) {
    PIN_DIRECTION direction;
    if (FAILED(pin->QueryDirection(&direction))) {
      pin->Release();
      break;
    }
    IEnumMediaTypes* types = nullptr;
    if (direction == PINDIR_INPUT && SUCCEEDED(pin->EnumMediaTypes(&types))) {
      AM_MEDIA_TYPE* type = nullptr;
      while (types->Next(1, &type, nullptr) == S_OK) {
        if (type->majortype == MEDIATYPE_Video) mask |= DsVideoDecoderBit(type->subtype);
        DeleteMediaType(type);
      }
      types->Release();
    }
    pin->Release();
  }
  pins->Release();
  return mask;
}

}  // namespace

namespace {

// The hello may be built on a thread outside every apartment: the probe
// then stays in one for its own duration.
struct ApartmentForProbe {
  ApartmentForProbe() : entered(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
  ~ApartmentForProbe() {
    if (entered) CoUninitialize();
  }
  const bool entered;
};

}  // namespace

uint32_t SorvidDetectDsVideoDecoders() {
  ApartmentForProbe apartment;
  IFilterMapper2* mapper = nullptr;
  if (FAILED(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                              IID_IFilterMapper2, reinterpret_cast<void**>(&mapper))))
    return 0;
  const GUID anyVideo[2] = {MEDIATYPE_Video, GUID_NULL};
  IEnumMoniker* monikers = nullptr;
  uint32_t mask = 0;
  if (SUCCEEDED(mapper->EnumMatchingFilters(&monikers, 0, TRUE, MERIT_DO_NOT_USE + 1, TRUE, 1, anyVideo, nullptr,
                                            nullptr, FALSE, FALSE, 0, nullptr, nullptr, nullptr))) {
    IMoniker* moniker = nullptr;
    while (monikers->Next(1, &moniker, nullptr) == S_OK) {
      IBaseFilter* filter = nullptr;
      if (SUCCEEDED(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter)))) {
        mask |= MaskOfFilter(filter);
        filter->Release();
      }
      moniker->Release();
    }
    monikers->Release();
  }
  mapper->Release();
  return mask;
}
