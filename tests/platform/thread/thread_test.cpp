#include "pelplat/thread.h"

#include <cstring>
#include <unistd.h>

#include <gtest/gtest.h>

#include "pelplat/winerror.h"

namespace {

struct Job {
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE mutex = nullptr;
  DWORD seenId = 0;
  DWORD exitCode = 0;
  ~Job() {
    CloseHandle(go);
    CloseHandle(done);
  }
};

DWORD RunJob(LPVOID param) {
  auto* job = static_cast<Job*>(param);
  job->seenId = GetCurrentThreadId();
  WaitForSingleObject(job->go, INFINITE);
  if (job->mutex) WaitForSingleObject(job->mutex, INFINITE);  // and end without releasing it
  const DWORD code = job->exitCode;
  SetEvent(job->done);  // the job may be gone from here on
  return code;
}

DWORD UseStack(LPVOID param) {
  volatile char big[256 * 1024];
  memset(const_cast<char*>(big), 1, sizeof big);
  return big[sizeof big - 1] + *static_cast<DWORD*>(param);
}

}  // namespace

TEST(CreateThread, HandleSignalsAtTheEndWithTheExitCode) {
  Job job;
  job.exitCode = 1234;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, RunJob, &job, 0, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(thread, 10), WAIT_TIMEOUT);
  SetEvent(job.go);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "stays signalled";
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 1234u);
  EXPECT_EQ(job.seenId, id);
  EXPECT_TRUE(CloseHandle(thread));
}

TEST(CreateThread, ClosingTheHandleNeitherStopsNorBlocks) {
  Job job;
  HANDLE thread = CreateThread(nullptr, 0, RunJob, &job, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(CloseHandle(thread));
  SetEvent(job.go);
  EXPECT_EQ(WaitForSingleObject(job.done, INFINITE), WAIT_OBJECT_0);
  DWORD code;
  EXPECT_FALSE(GetExitCodeThread(thread, &code));
}

TEST(CreateThread, WaitForAllOfSeveralThreads) {
  Job jobs[3];
  HANDLE threads[3];
  for (int i = 0; i < 3; ++i) {
    jobs[i].exitCode = 10 + i;
    threads[i] = CreateThread(nullptr, 0, RunJob, &jobs[i], 0, nullptr);
    ASSERT_NE(threads[i], nullptr);
  }
  EXPECT_EQ(WaitForMultipleObjects(3, threads, TRUE, 0), WAIT_TIMEOUT);
  for (Job& j : jobs) SetEvent(j.go);
  EXPECT_EQ(WaitForMultipleObjects(3, threads, TRUE, INFINITE), WAIT_OBJECT_0);
  for (int i = 0; i < 3; ++i) {
    DWORD code = 0;
    GetExitCodeThread(threads[i], &code);
    EXPECT_EQ(code, 10u + i);
    CloseHandle(threads[i]);
  }
}

TEST(CreateThread, MutexesOfAnEndedThreadAreAbandonedBeforeItsHandleSignals) {
  Job job;
  job.mutex = CreateMutexW(nullptr, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, RunJob, &job, 0, nullptr);
  SetEvent(job.go);
  ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(job.mutex, 0), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(job.mutex));
  CloseHandle(job.mutex);
  CloseHandle(thread);
}

TEST(CreateThread, SmallStackRequestsStillGetARealStack) {
  DWORD add = 5;
  HANDLE thread = CreateThread(nullptr, 4096, UseStack, &add, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, 6u);
  CloseHandle(thread);
}

TEST(CreateThread, RefusesWhatItCannotDo) {
  Job job;
  SetLastError(0);
  EXPECT_EQ(CreateThread(nullptr, 0, RunJob, &job, CREATE_SUSPENDED, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, &job, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(ThreadInfo, IdsPriorityAndPseudoHandle) {
  EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
  EXPECT_EQ(GetCurrentThreadId(), static_cast<DWORD>(gettid()));
  EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST));
  Job job;
  HANDLE thread = CreateThread(nullptr, 0, RunJob, &job, 0, nullptr);
  EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_BELOW_NORMAL));
  EXPECT_FALSE(SetThreadPriority(job.go, THREAD_PRIORITY_NORMAL));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetEvent(job.go);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}
