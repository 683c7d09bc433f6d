#include <objbase.h>

#include <gtest/gtest.h>

#include <thread>

namespace compat::test {
namespace {

TEST(Com, InitialisationIsCountedPerThread) {
  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
  HRESULT onOtherThread = -1;
  std::thread other([&onOtherThread] {
    onOtherThread = CoInitialize(nullptr);
    CoUninitialize();
  });
  other.join();
  EXPECT_EQ(onOtherThread, S_OK);
  CoUninitialize();
  EXPECT_EQ(CoInitialize(nullptr), S_FALSE);  // one initialisation is still open
  CoUninitialize();
  CoUninitialize();
  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  CoUninitialize();
  CoUninitialize();  // more than were made: ignored
  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  CoUninitialize();
}

}  // namespace
}  // namespace compat::test
