// The bundle reader over a fixture bundle one of whose files the input
// replaces: the first byte picks the manifest, the assets or the tensor file,
// the rest is the file. Every bundle opens or fails with ModelBundleError.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <velmora/model_bundle.hpp>

namespace {

namespace fs = std::filesystem;

struct Workspace {
  fs::path directory;
  std::string originals[3];

  Workspace() {
    std::string pattern = (fs::temp_directory_path() / "velmora-fuzz-bundle-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::abort();
    }
    directory = fs::path(pattern) / "bundle";
    fs::copy(fs::path(VELMORA_FIXTURE_DIR) / "bundle" / "valid", directory,
             fs::copy_options::recursive);
    for (int i = 0; i < 3; ++i) {
      std::ifstream in(file(i), std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      originals[i] = text.str();
    }
  }
  ~Workspace() {
    std::error_code ignored;
    fs::remove_all(directory.parent_path(), ignored);
  }
  fs::path file(int which) const {
    static const char* const kNames[] = {"manifest.json", "assets.json", "tensors.bin"};
    return directory / kNames[which];
  }
  void write(int which, const std::string& content) const {
    std::ofstream(file(which), std::ios::binary | std::ios::trunc) << content;
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Workspace workspace;
  if (size == 0) {
    return 0;
  }
  const int which = data[0] % 3;
  workspace.write(which, std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  for (const bool verify : {false, true}) {
    try {
      const velmora::ModelBundle bundle(workspace.directory, verify);
      for (const velmora::TensorDescriptor& tensor : bundle.tensors()) {
        const std::byte* first = bundle.tensor_data(tensor.name);
        volatile std::byte sink{};
        if (first != nullptr && tensor.nbytes > 0) {
          sink = first[0];
          sink = first[tensor.nbytes - 1];
        }
        (void)sink;
      }
    } catch (const velmora::ModelBundleError&) {
    }
  }
  workspace.write(which, workspace.originals[which]);
  return 0;
}
