// Pin and media type enumerators: fetching, skipping, cloning, argument
// checks, and what happens when the pin list or type list changes.
#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

#include "FilterTestDoubles.h"
#include "FrameworkTestSupport.h"

namespace tp::test {
namespace {

class EnumeratorTest : public FrameworkTest {
 protected:
  void SetUp() override {
    FrameworkTest::SetUp();
    filter_ = new RecordingFilter();
    filter_->AddRef();
  }
  void TearDown() override {
    filter_->Release();
    FrameworkTest::TearDown();
  }
  IEnumPins *PinEnum() {
    IEnumPins *e = nullptr;
    EXPECT_EQ(filter_->EnumPins(&e), S_OK);
    return e;
  }
  IEnumMediaTypes *TypeEnum(RecordingPin *pin) {
    IEnumMediaTypes *e = nullptr;
    EXPECT_EQ(pin->EnumMediaTypes(&e), S_OK);
    return e;
  }
  static CMediaType Type(const GUID &sub) {
    CMediaType mt(&MEDIATYPE_Video);
    mt.SetSubtype(&sub);
    mt.SetFormatType(&FORMAT_VideoInfo);
    VIDEOINFOHEADER vih{};
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    mt.SetFormat(reinterpret_cast<BYTE *>(&vih), sizeof vih);
    return mt;
  }
  RecordingFilter *filter_ = nullptr;
};

TEST_F(EnumeratorTest, Pins_AreHandedOutCountedInOrder) {
  RecordingPin *a = filter_->AddRecordingPin("a");
  RecordingPin *b = filter_->AddRecordingPin("b");
  IEnumPins *e = PinEnum();
  IPin *pins[3] = {};
  ULONG fetched = 9;
  EXPECT_EQ(e->Next(3, pins, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 2u);
  EXPECT_EQ(pins[0], static_cast<IPin *>(a));
  EXPECT_EQ(pins[1], static_cast<IPin *>(b));
  pins[0]->Release();
  pins[1]->Release();
  EXPECT_EQ(e->Next(1, pins, nullptr), S_FALSE);
  EXPECT_EQ(e->Next(2, pins, nullptr), E_INVALIDARG);
  EXPECT_EQ(e->Next(1, nullptr, &fetched), E_POINTER);

  ASSERT_EQ(e->Reset(), S_OK);
  EXPECT_EQ(e->Skip(1), S_OK);
  EXPECT_EQ(e->Skip(2), S_FALSE);
  ASSERT_EQ(e->Next(1, pins, &fetched), S_OK);
  EXPECT_EQ(pins[0], static_cast<IPin *>(b));
  pins[0]->Release();

  IEnumPins *clone = nullptr;
  ASSERT_EQ(e->Reset(), S_OK);
  ASSERT_EQ(e->Next(1, pins, nullptr), S_OK);
  pins[0]->Release();
  ASSERT_EQ(e->Clone(&clone), S_OK);
  ASSERT_EQ(clone->Next(1, pins, nullptr), S_OK);
  EXPECT_EQ(pins[0], static_cast<IPin *>(b)) << "a clone continues where its source was";
  pins[0]->Release();
  EXPECT_EQ(e->Clone(nullptr), E_POINTER);
  clone->Release();
  e->Release();
}

TEST_F(EnumeratorTest, Pins_EnumeratorKeepsItsFilterAlive) {
  filter_->AddRecordingPin("a");
  IEnumPins *e = PinEnum();
  filter_->AddRef();
  EXPECT_EQ(filter_->Release(), 2u) << "the enumerator holds the filter";
  e->Release();
}

TEST_F(EnumeratorTest, Pins_SeenCountStaysUntilResetOrVersionChange) {
  IEnumPins *e = PinEnum();  // made while the filter had no pins
  RecordingPin *a = filter_->AddRecordingPin("a");
  IPin *pin = nullptr;
  ULONG fetched = 0;
  EXPECT_EQ(e->Next(1, &pin, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  ASSERT_EQ(e->Reset(), S_OK);
  ASSERT_EQ(e->Next(1, &pin, &fetched), S_OK);
  EXPECT_EQ(pin, static_cast<IPin *>(a));
  pin->Release();

  // The list changes: Next starts over by itself but gives no pin twice.
  RecordingPin *b = filter_->AddRecordingPin("b");
  filter_->BumpPinVersion();
  EXPECT_EQ(e->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
  IEnumPins *clone = reinterpret_cast<IEnumPins *>(1);
  EXPECT_EQ(e->Clone(&clone), VFW_E_ENUM_OUT_OF_SYNC);
  EXPECT_EQ(clone, nullptr);
  IPin *pins[2] = {};
  EXPECT_EQ(e->Next(2, pins, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(pins[0], static_cast<IPin *>(b));
  pins[0]->Release();
  e->Release();
}

TEST_F(EnumeratorTest, Pins_VanishedPinIsOutOfSyncAndLeaksNothing) {
  filter_->AddRecordingPin("a");
  filter_->extraCount = 1;  // claims a second pin that GetPin cannot give
  IEnumPins *e = PinEnum();
  IPin *pins[2] = {};
  ULONG fetched = 7;
  EXPECT_EQ(e->Next(2, pins, &fetched), VFW_E_ENUM_OUT_OF_SYNC);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(pins[0], nullptr) << "the pin fetched before the failure was taken back";
  e->Release();
}

TEST_F(EnumeratorTest, MediaTypes_DeepCopiesAndPartialFetch) {
  RecordingPin *pin = filter_->AddRecordingPin("a");
  pin->offered.push_back(Type(MEDIASUBTYPE_RGB24));
  IEnumMediaTypes *e = TypeEnum(pin);
  AM_MEDIA_TYPE *types[3] = {};
  ULONG fetched = 0;
  EXPECT_EQ(e->Next(3, types, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(types[0]->subtype, MEDIASUBTYPE_RGB24);
  ASSERT_EQ(types[0]->cbFormat, sizeof(VIDEOINFOHEADER));
  EXPECT_NE(types[0]->pbFormat, pin->offered[0].pbFormat);
  DeleteMediaType(types[0]);
  EXPECT_EQ(e->Next(2, types, nullptr), E_INVALIDARG);
  EXPECT_EQ(e->Next(1, nullptr, nullptr), E_POINTER);

  ASSERT_EQ(e->Reset(), S_OK);
  EXPECT_EQ(e->Skip(0), S_OK);
  EXPECT_EQ(e->Skip(1), S_OK);
  EXPECT_EQ(e->Skip(1), S_FALSE);
  EXPECT_EQ(e->Skip(0xFFFFFFFFu), S_FALSE);  // no overflow of the position
  e->Release();
}

TEST_F(EnumeratorTest, MediaTypes_CloneAndVersionChange) {
  RecordingPin *pin = filter_->AddRecordingPin("a");
  pin->offered.push_back(Type(MEDIASUBTYPE_RGB24));
  pin->offered.push_back(Type(MEDIASUBTYPE_YUY2));
  IEnumMediaTypes *e = TypeEnum(pin);
  AM_MEDIA_TYPE *t = nullptr;
  ASSERT_EQ(e->Next(1, &t, nullptr), S_OK);
  DeleteMediaType(t);
  IEnumMediaTypes *clone = nullptr;
  ASSERT_EQ(e->Clone(&clone), S_OK);
  ASSERT_EQ(clone->Next(1, &t, nullptr), S_OK);
  EXPECT_EQ(t->subtype, MEDIASUBTYPE_YUY2);
  DeleteMediaType(t);

  pin->BumpTypeVersion();
  EXPECT_EQ(e->Next(1, &t, nullptr), VFW_E_ENUM_OUT_OF_SYNC);
  EXPECT_EQ(e->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
  IEnumMediaTypes *c2 = nullptr;
  EXPECT_EQ(e->Clone(&c2), VFW_E_ENUM_OUT_OF_SYNC);
  ASSERT_EQ(e->Reset(), S_OK);
  ASSERT_EQ(e->Next(1, &t, nullptr), S_OK);
  EXPECT_EQ(t->subtype, MEDIASUBTYPE_RGB24);
  DeleteMediaType(t);
  clone->Release();
  e->Release();
}

}  // namespace
}  // namespace tp::test
