// Bundle tensors are served as views over a read-only mapping of the tensor
// file; this checks that libtorch can view such memory in place.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include <ATen/ATen.h>

#include "test_support.hpp"

namespace {

TEST(MappedView, FloatTensorViewsTheMappingWithoutCopying) {
  std::ifstream description(velmora::test::fixture("harness/view.txt"));
  std::string name;
  uint64_t offset = 0;
  int64_t rank = 0;
  ASSERT_TRUE(description >> name >> offset >> rank);
  std::vector<int64_t> shape(rank);
  for (auto& d : shape)
    description >> d;
  int64_t count = 0;
  description >> count;
  std::vector<float> expected(count);
  for (auto& v : expected)
    description >> v;
  ASSERT_TRUE(description);

  auto file = velmora::test::fixture("harness/bundle/tensors.bin");
  int fd = ::open(file.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  struct stat status {};
  ASSERT_EQ(::fstat(fd, &status), 0);
  ASSERT_GE(static_cast<uint64_t>(status.st_size), offset + count * sizeof(float));
  void* base = ::mmap(nullptr, status.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
  ASSERT_NE(base, MAP_FAILED);

  {
    auto* data = static_cast<const char*>(base) + offset;
    at::Tensor view = at::from_blob(
        const_cast<char*>(data), shape, [](void*) {}, at::TensorOptions().dtype(at::kFloat));
    EXPECT_EQ(view.data_ptr(), static_cast<const void*>(data));
    EXPECT_EQ(view.sizes(), at::IntArrayRef(shape));
    auto reference = at::tensor(expected, at::kFloat).reshape(shape);
    EXPECT_TRUE(at::equal(view, reference));
    // Out-of-place arithmetic reads the mapping and allocates its own result.
    at::Tensor doubled = view * 2;
    EXPECT_NE(doubled.data_ptr(), view.data_ptr());
    EXPECT_TRUE(at::equal(doubled, reference * 2));
  }

  ::munmap(base, status.st_size);
  ::close(fd);
}

} // namespace
