// Source filter pin list: pins add and remove themselves, positions and ids
// follow the order of addition, and the filter deletes its pins.
#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

#include "FrameworkTestSupport.h"
#include "framework/CSource.h"
#include "framework/CSourceStream.h"

namespace tp::test {
namespace {

// {2C7E9A41-6B3D-4F18-A0C5-9D8E7F6A5B4C}
inline constexpr GUID CLSID_ListSource = {0x2c7e9a41, 0x6b3d, 0x4f18, {0xa0, 0xc5, 0x9d, 0x8e, 0x7f, 0x6a, 0x5b, 0x4c}};

class IdleStream : public CSourceStream {
 public:
  IdleStream(CSource *filter, LPCWSTR name, HRESULT *phr) : CSourceStream(TEXT("IdleStream"), phr, filter, name) {}
  HRESULT FillBuffer(IMediaSample *) override { return S_FALSE; }
  HRESULT DecideBufferSize(IMemAllocator *, ALLOCATOR_PROPERTIES *) override { return E_NOTIMPL; }
};

class ListSource : public CSource {
 public:
  ListSource() : CSource(TEXT("ListSource"), nullptr, CLSID_ListSource) {}
  using CSource::m_paStreams;
};

class CSourceTest : public FrameworkTest {
 protected:
  void SetUp() override {
    FrameworkTest::SetUp();
    filter_ = new ListSource();
    filter_->AddRef();
  }
  void TearDown() override {
    if (filter_) filter_->Release();
    FrameworkTest::TearDown();
  }
  ListSource *filter_ = nullptr;
};

TEST_F(CSourceTest, Pins_AreListedInTheOrderTheyWereMade) {
  HRESULT hr = S_OK;
  auto *video = new IdleStream(filter_, u"Video", &hr);
  auto *audio = new IdleStream(filter_, u"Audio", &hr);
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(filter_->GetPinCount(), 2);
  EXPECT_EQ(filter_->GetPin(0), static_cast<CBasePin *>(video));
  EXPECT_EQ(filter_->GetPin(1), static_cast<CBasePin *>(audio));
  EXPECT_EQ(filter_->GetPin(2), nullptr);
  EXPECT_EQ(filter_->GetPin(-1), nullptr);

  IPin *pin = nullptr;
  ASSERT_EQ(filter_->FindPin(u"2", &pin), S_OK);
  EXPECT_EQ(pin, static_cast<IPin *>(audio));
  LPWSTR id = nullptr;
  ASSERT_EQ(pin->QueryId(&id), S_OK);
  EXPECT_EQ(std::u16string(id), u"2");
  CoTaskMemFree(id);
  pin->Release();
  EXPECT_EQ(filter_->FindPin(u"Video", &pin), VFW_E_NOT_FOUND);
}

TEST_F(CSourceTest, RemovePin_ClosesTheGap) {
  HRESULT hr = S_OK;
  auto *a = new IdleStream(filter_, u"a", &hr);
  auto *b = new IdleStream(filter_, u"b", &hr);
  auto *c = new IdleStream(filter_, u"c", &hr);
  ASSERT_EQ(filter_->RemovePin(b), S_OK);
  EXPECT_EQ(filter_->GetPinCount(), 2);
  EXPECT_EQ(filter_->GetPin(0), static_cast<CBasePin *>(a));
  EXPECT_EQ(filter_->GetPin(1), static_cast<CBasePin *>(c));
  EXPECT_EQ(filter_->RemovePin(b), S_FALSE);
  EXPECT_EQ(filter_->AddPin(nullptr), E_POINTER);
  ASSERT_EQ(filter_->AddPin(b), S_OK);  // back at the end
  EXPECT_EQ(filter_->GetPin(2), static_cast<CBasePin *>(b));
  delete a;  // a pin's destructor takes it out of the list
  delete b;
  delete c;
  EXPECT_EQ(filter_->GetPinCount(), 0);
  EXPECT_EQ(filter_->m_paStreams, nullptr);
}

TEST_F(CSourceTest, Destruction_DeletesEveryPin) {
  HRESULT hr = S_OK;
  new IdleStream(filter_, u"a", &hr);
  new IdleStream(filter_, u"b", &hr);
  EXPECT_EQ(ObjectsMadeSinceStart(), 3);
  filter_->Release();
  filter_ = nullptr;
  EXPECT_EQ(ObjectsMadeSinceStart(), 0);  // and ASan sees no leak
}

TEST_F(CSourceTest, UnconnectedPins_StateChangesNeedNoThreads) {
  HRESULT hr = S_OK;
  auto *a = new IdleStream(filter_, u"a", &hr);
  ASSERT_EQ(filter_->Run(0), S_OK);
  EXPECT_FALSE(a->ThreadExists());
  EXPECT_TRUE(filter_->IsActive());
  ASSERT_EQ(filter_->Stop(), S_OK);
  EXPECT_FALSE(filter_->IsActive());
}

TEST_F(CSourceTest, PinEnumerator_WalksTheStreams) {
  HRESULT hr = S_OK;
  auto *a = new IdleStream(filter_, u"a", &hr);
  IEnumPins *e = nullptr;
  ASSERT_EQ(filter_->EnumPins(&e), S_OK);
  IPin *pin = nullptr;
  ASSERT_EQ(e->Next(1, &pin, nullptr), S_OK);
  EXPECT_EQ(pin, static_cast<IPin *>(a));
  pin->Release();
  EXPECT_EQ(e->Next(1, &pin, nullptr), S_FALSE);
  e->Release();
  EXPECT_EQ(filter_->EnumPins(nullptr), E_POINTER);
}

}  // namespace
}  // namespace tp::test
