// The one COM base and its counted pointer: which face answers which id,
// one count across faces, and what Ref adds and lets go.
#include <gtest/gtest.h>

#include <utility>

#include "pelplat/comobject.h"

namespace {

PELPLAT_GUID(IID_IFront, 0x2F4C8E10, 0x5A7B, 0x4C1D, 0x8E, 0x33, 0x61, 0x0A, 0x9D, 0x27, 0xB4, 0x01);
PELPLAT_GUID(IID_IFrontToo, 0x2F4C8E11, 0x5A7B, 0x4C1D, 0x8E, 0x33, 0x61, 0x0A, 0x9D, 0x27, 0xB4, 0x01);
PELPLAT_GUID(IID_IBack, 0x2F4C8E12, 0x5A7B, 0x4C1D, 0x8E, 0x33, 0x61, 0x0A, 0x9D, 0x27, 0xB4, 0x01);
PELPLAT_GUID(IID_INobody, 0x2F4C8E13, 0x5A7B, 0x4C1D, 0x8E, 0x33, 0x61, 0x0A, 0x9D, 0x27, 0xB4, 0x01);

struct IFront : IUnknown {
  virtual int Front() = 0;
};
struct IBack : IUnknown {
  virtual int Back() = 0;
};

// Two faces; the object says when it is gone.
class TwoFaced final : public pelplat::ComObject<IFront, IBack> {
 public:
  explicit TwoFaced(bool* gone) : gone_(gone) {}
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IBack) return pelplat::Hand<IBack>(this, object);
    return Answer(riid, object, IID_IFront, IID_IFrontToo);
  }
  int Front() override { return 1; }
  int Back() override { return 2; }

 private:
  ~TwoFaced() override { *gone_ = true; }
  bool* gone_;
};

// What the object's count is now.
ULONG Count(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

TEST(ComObject, EachIdIsAnsweredByItsFaceAndEveryFaceSharesOneCount) {
  bool gone = false;
  TwoFaced* object = new TwoFaced(&gone);
  IFront* front = object;
  IBack* back = object;
  struct Case {
    const char* name;
    const IID* riid;
    HRESULT answer;
    void* face;
  };
  const Case cases[] = {
      {"IUnknown", &IID_IUnknown, S_OK, front},
      {"the first face", &IID_IFront, S_OK, front},
      {"its second id", &IID_IFrontToo, S_OK, front},
      {"the second face", &IID_IBack, S_OK, back},
      {"an unknown id", &IID_INobody, E_NOINTERFACE, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    void* answered = &gone;  // not null: a refusal must clear it
    EXPECT_EQ(object->QueryInterface(*c.riid, &answered), c.answer);
    EXPECT_EQ(answered, c.face);
    EXPECT_EQ(Count(front), c.face ? 2u : 1u);
    if (c.face) static_cast<IUnknown*>(front)->Release();
  }
  EXPECT_EQ(object->QueryInterface(IID_IFront, nullptr), E_POINTER);
  EXPECT_EQ(object->QueryInterface(IID_IBack, nullptr), E_POINTER);

  back->AddRef();
  EXPECT_EQ(front->Release(), 1u);
  EXPECT_FALSE(gone);
  EXPECT_EQ(back->Release(), 0u);
  EXPECT_TRUE(gone);
}

TEST(ComObject, AClassThatNamesNoIdAnswersIUnknownOnly) {
  class Plain final : public pelplat::ComObject<IFront> {
   public:
    int Front() override { return 1; }
  };
  Plain* plain = new Plain;
  void* answered = nullptr;
  EXPECT_EQ(plain->QueryInterface(IID_IUnknown, &answered), S_OK);
  EXPECT_EQ(answered, static_cast<IFront*>(plain));
  plain->Release();
  EXPECT_EQ(plain->QueryInterface(IID_IFront, &answered), E_NOINTERFACE);
  EXPECT_EQ(answered, nullptr);
  EXPECT_EQ(plain->Release(), 0u);
}

TEST(Ref, AdoptsSharesCopiesAndLetsGoAsItSays) {
  bool gone = false;
  IFront* object = new TwoFaced(&gone);  // the creator's reference
  {
    pelplat::Ref<IFront> adopted(object);
    EXPECT_EQ(Count(object), 1u);
    pelplat::Ref<IFront> shared = pelplat::Ref<IFront>::Share(object);
    EXPECT_EQ(Count(object), 2u);
    pelplat::Ref<IFront> copy = shared;
    EXPECT_EQ(Count(object), 3u);
    pelplat::Ref<IFront> moved = std::move(copy);
    EXPECT_FALSE(copy);
    EXPECT_EQ(Count(object), 3u);
    moved.reset();
    EXPECT_EQ(Count(object), 2u);

    IFront* handed = nullptr;
    EXPECT_EQ(shared.copyTo(&handed), S_OK);
    EXPECT_EQ(handed, object);
    EXPECT_EQ(Count(object), 3u);
    handed->Release();

    // An out parameter lets go of what was held before it is filled.
    pelplat::Ref<IBack> back = pelplat::Query<IBack>(object, IID_IBack);
    EXPECT_EQ(Count(object), 3u);
    EXPECT_EQ(object->QueryInterface(IID_IBack, back.outVoid()), S_OK);
    EXPECT_EQ(Count(object), 3u);
    EXPECT_FALSE(pelplat::Query<IBack>(object, IID_INobody));

    IFront* detached = shared.detach();
    EXPECT_FALSE(shared);
    EXPECT_EQ(Count(object), 3u);
    detached->Release();
    EXPECT_EQ(Count(object), 2u);
  }
  EXPECT_TRUE(gone);
}

}  // namespace
