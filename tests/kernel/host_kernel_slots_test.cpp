// The engine calls the kernel and thread objects by virtual-table index, so a slot that moves is a
// silent binary break. Under the Itanium ABI a pointer to a virtual member function holds
// 1 + 8 * index, which lets the test read each function's index back.
#include "kernel/vant_host_kernel.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

template <typename F>
int64_t SlotOf(F member) {
  static_assert(sizeof(F) == 2 * sizeof(intptr_t));
  intptr_t raw[2];
  std::memcpy(raw, &member, sizeof(raw));
  EXPECT_EQ(raw[0] % 8, 1) << "not a virtual member function";
  return (raw[0] - 1) / 8;
}

using K = VANTHostKernel;

TEST(HostKernelSlots, EveryUsedOperationSitsAtItsIndex) {
  EXPECT_EQ(SlotOf(&K::BeginChange), 0);
  EXPECT_EQ(SlotOf(&K::EndChange), 1);
  EXPECT_EQ(SlotOf(&K::ModuleRecord), 18);
  EXPECT_EQ(SlotOf(&K::DropName), 21);
  EXPECT_EQ(SlotOf(&K::LockSymbols), 22);
  EXPECT_EQ(SlotOf(&K::UnlockSymbols), 23);
  EXPECT_EQ(SlotOf(&K::RegisterInput), 24);
  EXPECT_EQ(SlotOf(&K::RegisterOutput), 25);
  EXPECT_EQ(SlotOf(&K::RegisterProperty), 26);
  EXPECT_EQ(SlotOf(&K::RegisterAction), 27);
  EXPECT_EQ(SlotOf(&K::AnnounceModuleOutput), 29);
  EXPECT_EQ(SlotOf(&K::InputRemoved), 30);
  EXPECT_EQ(SlotOf(&K::OutputRemoved), 31);
  EXPECT_EQ(SlotOf(&K::AnnounceComponentOutput), 32);
  EXPECT_EQ(SlotOf(&K::AnnounceComponentInput), 33);
  EXPECT_EQ(SlotOf(&K::ModuleState), 34);
  EXPECT_EQ(SlotOf(&K::Rename), 69);
  EXPECT_EQ(SlotOf(&K::Disconnect), 73);
  EXPECT_EQ(SlotOf(&K::RunMainThread), 74);
  EXPECT_EQ(SlotOf(&K::RunModuleThread), 75);
  EXPECT_EQ(SlotOf(&K::RunComponentThread), 76);
  EXPECT_EQ(SlotOf(&K::NameTaken), 77);
  EXPECT_EQ(SlotOf(&K::ModuleByName), 78);
  EXPECT_EQ(SlotOf(&K::Symbol), 79);
  EXPECT_EQ(SlotOf(&K::Report), 96);
  EXPECT_EQ(SlotOf(&K::EngineState), 102);
  EXPECT_EQ(SlotOf(&K::TimeoutsSuspended), 104);
  EXPECT_EQ(SlotOf(&K::SpeedSign), 107);
  EXPECT_EQ(SlotOf(&K::ClockState), 108);
  EXPECT_EQ(SlotOf(&K::Overrun), 114);
  EXPECT_EQ(SlotOf(&K::CheckLevel), 117);
  EXPECT_EQ(SlotOf(&K::RegisterClock), 120);
  EXPECT_EQ(SlotOf(&K::UnregisterClock), 121);
  EXPECT_EQ(SlotOf(&K::RealTime), 122);
  EXPECT_EQ(SlotOf(&K::TimeSpeed), 123);
  EXPECT_EQ(SlotOf(&K::CurrentTime), 129);
  EXPECT_EQ(SlotOf(&K::WakeUps), 131);
  EXPECT_EQ(SlotOf(&K::AcquireTimeLock), 132);
  EXPECT_EQ(SlotOf(&K::ReleaseTimeLock), 133);
  EXPECT_EQ(SlotOf(&K::EngineBool), 146);
  EXPECT_EQ(SlotOf(&K::EngineInt), 147);
  EXPECT_EQ(SlotOf(&K::Triggers), 159);
}

TEST(HostKernelSlots, ThreadObjectSlots) {
  EXPECT_EQ(SlotOf(&VANTThread::Release), 0);
  EXPECT_EQ(SlotOf(&VANTThread::ContextSwitches), 1);
  EXPECT_EQ(SlotOf(&VANTThread::CpuLoad), 2);
  EXPECT_EQ(SlotOf(&VANTThread::SetProcessor), 3);
  EXPECT_EQ(SlotOf(&VANTThread::SetPriority), 4);
}

TEST(HostKernelSlots, ReservedEntriesKeepTheGaps) {
  EXPECT_EQ(SlotOf(&K::Reserved002), 2);
  EXPECT_EQ(SlotOf(&K::Reserved028), 28);
  EXPECT_EQ(SlotOf(&K::Reserved158), 158);
}

} // namespace
