// Shared fixture for framework tests: COM initialised on the test thread
// (multithreaded apartment, so worker threads may use COM too), and a check
// that every framework object made during the test is gone at its end.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include "framework/CBaseObject.h"

namespace tp::test {

class FrameworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_comResult = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ASSERT_TRUE(SUCCEEDED(m_comResult));
    m_objectsAtStart = CBaseObject::ObjectsActive();
  }
  void TearDown() override {
    EXPECT_EQ(CBaseObject::ObjectsActive(), m_objectsAtStart) << "framework objects leaked or released twice";
    if (SUCCEEDED(m_comResult)) CoUninitialize();
  }
  // For a test that checks the count in the middle.
  LONG ObjectsMadeSinceStart() const { return CBaseObject::ObjectsActive() - m_objectsAtStart; }

 private:
  HRESULT m_comResult = E_FAIL;
  LONG m_objectsAtStart = 0;
};

}  // namespace tp::test
