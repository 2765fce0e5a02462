// The COM basics: apartments per thread, the class registry behind
// CoCreateInstance, counts across interfaces, and GUID text.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "pelplat/comobject.h"
#include "pelplat/objbase.h"

namespace {

PELPLAT_GUID(CLSID_Counter, 0x6B1A52D0, 0x1C3E, 0x4F5A, 0x9B, 0x21, 0x07, 0x3C, 0x55, 0xE0, 0x1A, 0x2B);
PELPLAT_GUID(IID_ICounter, 0x6B1A52D1, 0x1C3E, 0x4F5A, 0x9B, 0x21, 0x07, 0x3C, 0x55, 0xE0, 0x1A, 0x2B);

std::atomic<int> g_live{0};

struct ICounter : IUnknown {
  virtual int Next() = 0;
};

class Counter final : public pelplat::ComObject<ICounter> {
 public:
  Counter() { ++g_live; }
  HRESULT QueryInterface(REFIID riid, void** object) override { return Answer(riid, object, IID_ICounter); }
  int Next() override { return ++value_; }

 private:
  ~Counter() override { --g_live; }
  int value_ = 0;
};

class CounterFactory : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *object = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++count_; }
  ULONG Release() override { return --count_; }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (outer) return CLASS_E_NOAGGREGATION;
    Counter* counter = new Counter;
    const HRESULT hr = counter->QueryInterface(riid, object);
    counter->Release();
    return hr;
  }
  HRESULT LockServer(BOOL) override { return S_OK; }
  std::atomic<ULONG> count_{1};
};

}  // namespace

TEST(Com, ApartmentsAreCountedPerThreadAndKeepTheirKind) {
  ASSERT_EQ(CoApartmentDepth(), 0u);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
  EXPECT_EQ(CoApartmentDepth(), 2u);
  std::thread([] {
    EXPECT_EQ(CoApartmentDepth(), 0u);
    EXPECT_EQ(CoInitialize(nullptr), S_OK);  // another thread may choose the other kind
    CoUninitialize();
  }).join();
  CoUninitialize();
  CoUninitialize();
  CoUninitialize();  // one too many is harmless
  EXPECT_EQ(CoApartmentDepth(), 0u);
}

TEST(Com, TheRegistryServesCoCreateInstanceUntilTheClassIsRevoked) {
  CounterFactory factory;
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_Counter, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
  EXPECT_EQ(factory.count_, 2u);

  ICounter* counter = reinterpret_cast<ICounter*>(1);
  // Outside an apartment nothing is made.
  EXPECT_EQ(CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_INPROC_SERVER, IID_ICounter, (void**)&counter),
            CO_E_NOTINITIALIZED);
  EXPECT_EQ(counter, nullptr);
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  ASSERT_EQ(CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_INPROC_SERVER, IID_ICounter, (void**)&counter), S_OK);
  EXPECT_EQ(counter->Next(), 1);
  // One count for all interfaces: the IUnknown reference keeps it alive.
  IUnknown* unknown = nullptr;
  ASSERT_EQ(counter->QueryInterface(IID_IUnknown, (void**)&unknown), S_OK);
  EXPECT_EQ(counter->Release(), 1u);
  EXPECT_EQ(g_live, 1);
  EXPECT_EQ(unknown->Release(), 0u);
  EXPECT_EQ(g_live, 0);

  IUnknown* none = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_Counter, &factory, CLSCTX_INPROC_SERVER, IID_IUnknown, (void**)&none),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_INPROC_SERVER, IID_IClassFactory, (void**)&none),
            E_NOINTERFACE);
  EXPECT_EQ(CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, (void**)&none),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr), E_POINTER);

  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(factory.count_, 1u);
  EXPECT_EQ(CoRevokeClassObject(cookie), E_INVALIDARG);
  EXPECT_EQ(CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, (void**)&none),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(none, nullptr);
  CoUninitialize();
}

TEST(Com, ObjectsMadeAndReleasedOnManyThreadsAllEnd) {
  CounterFactory factory;
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_Counter, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      for (int i = 0; i < 200; ++i) {
        ICounter* counter = nullptr;
        if (CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_ALL, IID_ICounter, (void**)&counter) == S_OK) {
          counter->AddRef();
          counter->Release();
          counter->Release();
        }
      }
      CoUninitialize();
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(g_live, 0);
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
}

TEST(Com, TaskMemoryAndGuidText) {
  void* block = CoTaskMemAlloc(0);
  ASSERT_NE(block, nullptr);
  block = CoTaskMemRealloc(block, 64);
  ASSERT_NE(block, nullptr);
  CoTaskMemFree(block);
  CoTaskMemFree(nullptr);

  WCHAR text[39];
  EXPECT_EQ(StringFromGUID2(IID_IClassFactory, text, 38), 0);
  ASSERT_EQ(StringFromGUID2(IID_IClassFactory, text, 39), 39);
  EXPECT_EQ(std::u16string(text), u"{00000001-0000-0000-C000-000000000046}");
}
