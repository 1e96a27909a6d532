#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "core/mock_backend.h"
#include "core/numeric_buffer.h"
#include "core/task.h"

namespace idlewick {
namespace {

using testing::MockBackend;

// An owner whose release the test can observe.
std::shared_ptr<void> TrackedOwner(std::atomic<int>& releases) {
  return std::shared_ptr<void>(new int(0), [&releases](void* p) {
    delete static_cast<int*>(p);
    releases.fetch_add(1);
  });
}

TEST(DeviceNameTest, NamesEveryDeviceAndUnknownOutsideTheRange) {
  EXPECT_EQ(DeviceName(DeviceId::kCpu), "cpu");
  EXPECT_EQ(DeviceName(DeviceId::kIgpu), "igpu");
  EXPECT_EQ(DeviceName(DeviceId::kDgpu), "dgpu");
  EXPECT_EQ(DeviceName(static_cast<DeviceId>(3)), "unknown");
  EXPECT_EQ(DeviceName(static_cast<DeviceId>(255)), "unknown");
}

TEST(TaskResultTest, DefaultReadsAsFailed) {
  const TaskResult result;
  EXPECT_EQ(result.id, 0u);
  EXPECT_EQ(result.status, TaskStatus::kFailed);
  EXPECT_TRUE(result.text_output.empty());
  EXPECT_EQ(result.numeric_output.size(), 0u);
  EXPECT_EQ(result.latency_ms, 0.0);
  EXPECT_EQ(result.first_token_latency_ms, 0.0);
}

TEST(NumericBufferTest, OwnedCopyDuplicatesValues) {
  NumericBuffer owned(std::vector<float>{1.f, 2.f, 3.f});
  const NumericBuffer copy = owned;
  EXPECT_FALSE(copy.is_view());
  ASSERT_EQ(copy.size(), 3u);
  EXPECT_NE(copy.data(), owned.data());
  EXPECT_EQ(copy.data()[2], 3.f);
}

TEST(NumericBufferTest, ViewCopySharesMemoryAndOwner) {
  std::atomic<int> releases{0};
  const float values[] = {4.f, 5.f};
  {
    const NumericBuffer view = NumericBuffer::View(values, 2, TrackedOwner(releases));
    ASSERT_TRUE(view.is_view());
    {
      const NumericBuffer copy = view;
      EXPECT_EQ(copy.data(), values);
      EXPECT_EQ(copy.size(), 2u);
      EXPECT_EQ(view.owner.use_count(), 2);
    }
    EXPECT_EQ(releases.load(), 0);
  }
  EXPECT_EQ(releases.load(), 1);
}

TEST(NumericBufferTest, MoveLeavesTheSourceEmpty) {
  std::atomic<int> releases{0};
  const float values[] = {1.f};
  NumericBuffer view = NumericBuffer::View(values, 1, TrackedOwner(releases));
  NumericBuffer moved = std::move(view);
  EXPECT_FALSE(view.is_view());  // NOLINT(bugprone-use-after-move): checked on purpose
  EXPECT_EQ(view.size(), 0u);
  EXPECT_EQ(moved.data(), values);

  NumericBuffer owned(std::vector<float>{1.f, 2.f});
  NumericBuffer target;
  target = std::move(owned);
  EXPECT_EQ(owned.size(), 0u);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(target.size(), 2u);
}

TEST(NumericBufferTest, TurningIntoAViewReleasesOwnedValues) {
  std::atomic<int> releases{0};
  const float values[] = {7.f};
  NumericBuffer buffer(std::vector<float>(1000, 1.f));
  buffer = NumericBuffer::View(values, 1, TrackedOwner(releases));
  EXPECT_TRUE(buffer.owned_values.empty());
  EXPECT_EQ(buffer.size(), 1u);
  EXPECT_EQ(buffer.data(), values);
}

TEST(NumericBufferTest, ViewWithoutOwnerIsAnEmptyOwnedBuffer) {
  const float values[] = {1.f};
  const NumericBuffer buffer = NumericBuffer::View(values, 1, nullptr);
  EXPECT_FALSE(buffer.is_view());
  EXPECT_EQ(buffer.size(), 0u);
}

class MockBackendTest : public ::testing::Test {
 protected:
  MockBackend backend{DeviceId::kIgpu, "mock-igpu"};
};

TEST_F(MockBackendTest, EchoesAnEmptyTask) {
  Task task;
  task.id = 9;
  const TaskResult result = backend.Submit(task);
  EXPECT_EQ(result.id, 9u);
  EXPECT_EQ(result.status, TaskStatus::kOk);
  EXPECT_TRUE(result.text_output.empty());
  EXPECT_EQ(result.numeric_output.size(), 0u);
  EXPECT_FALSE(result.numeric_output.is_view());
  EXPECT_EQ(result.latency_ms, 1.0);
  EXPECT_EQ(result.first_token_latency_ms, 1.0);
  EXPECT_EQ(result.tokens_generated, 0u);
  EXPECT_EQ(result.image_width, 0u);
  EXPECT_EQ(result.image_height, 0u);
  EXPECT_EQ(backend.device(), DeviceId::kIgpu);
  EXPECT_EQ(backend.name(), "mock-igpu");
}

TEST_F(MockBackendTest, EchoedViewKeepsItsOwnerAliveAfterTheTaskIsGone) {
  std::atomic<int> releases{0};
  const float values[] = {1.f, 2.f, 3.f};
  TaskResult result;
  {
    Task task;
    task.kind = TaskKind::kEmbedding;
    task.text_input = "hello";
    task.numeric_input = NumericBuffer::View(values, 3, TrackedOwner(releases));
    result = backend.Submit(task);
  }
  EXPECT_EQ(releases.load(), 0);
  EXPECT_EQ(result.text_output, "hello");
  EXPECT_TRUE(result.numeric_output.is_view());
  EXPECT_EQ(result.numeric_output.data(), values);
  EXPECT_EQ(result.numeric_output.size(), 3u);
  result = TaskResult{};
  EXPECT_EQ(releases.load(), 1);
}

TEST_F(MockBackendTest, ForcedFailureOverridesDegradedAndSupportFlags) {
  backend.SetDegraded(true);
  backend.SetSupportsKind(TaskKind::kTextGeneration, false);
  backend.SetForceFailure(true);
  Task task;
  task.text_input = "x";
  task.numeric_input = NumericBuffer(std::vector<float>{1.f});
  const TaskResult result = backend.Submit(task);
  EXPECT_EQ(result.status, TaskStatus::kFailed);
  EXPECT_EQ(result.error_message, "MockBackend: forced failure for testing");
  EXPECT_TRUE(result.text_output.empty());
  EXPECT_EQ(result.numeric_output.size(), 0u);
  EXPECT_EQ(result.latency_ms, 1.0);
  EXPECT_EQ(result.first_token_latency_ms, 1.0);
}

TEST_F(MockBackendTest, ClearingForcedFailureLeavesTheDeviceDegraded) {
  backend.SetForceFailure(true);
  backend.SetDegraded(true);  // what the worker does on the failure
  backend.SetForceFailure(false);
  EXPECT_TRUE(backend.IsDegraded());
  EXPECT_EQ(backend.Submit(Task{}).status, TaskStatus::kOk);
}

TEST_F(MockBackendTest, EmbeddingAndImageGenerationShareOneSupportFlag) {
  backend.SetSupportsKind(TaskKind::kEmbedding, false);
  EXPECT_FALSE(backend.SupportsKind(TaskKind::kImageGeneration));
  EXPECT_FALSE(backend.SupportsKind(TaskKind::kEmbedding));
  EXPECT_TRUE(backend.SupportsKind(TaskKind::kTextGeneration));
  backend.SetSupportsKind(TaskKind::kImageGeneration, true);
  EXPECT_TRUE(backend.SupportsKind(TaskKind::kEmbedding));
  backend.SetSupportsKind(TaskKind::kTextGeneration, false);
  EXPECT_FALSE(backend.SupportsKind(TaskKind::kTextGeneration));
  EXPECT_TRUE(backend.SupportsKind(TaskKind::kEmbedding));
}

}  // namespace
}  // namespace idlewick
