// Opening cost of model bundles: without verification, opening must not read
// the tensor data (open time, resident memory and bytes read stay flat as the
// tensor file grows); with verification, SHA-256 throughput is compared with
// the system's sha256sum on the same file.
//
//   velmora_bundle_bench [scratch-dir] [size-in-MiB ...]   (default: /tmp 64 256 1024)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <velmora/model_bundle.hpp>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A field of /proc/self/status (kB) or /proc/self/io (bytes).
long long proc_value(const char* file, const std::string& key) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + ":", 0) == 0) {
      return std::stoll(line.substr(key.size() + 1));
    }
  }
  return -1;
}

void write_tensor_file(const fs::path& path, std::uint64_t size) {
  std::ofstream out(path, std::ios::binary);
  std::mt19937_64 random(size);
  std::vector<std::uint64_t> chunk(1 << 17);
  for (std::uint64_t written = 0; written < size;) {
    for (auto& word : chunk) {
      word = random();
    }
    const std::uint64_t take = std::min<std::uint64_t>(size - written, chunk.size() * 8);
    out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(take));
    written += take;
  }
}

// sha256sum's digest of the file and its wall time (warm page cache).
std::pair<std::string, double> system_sha256(const fs::path& path) {
  const std::string command = "sha256sum '" + path.string() + "'";
  const auto start = Clock::now();
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    throw std::runtime_error("cannot run sha256sum");
  }
  char digest[65] = {};
  const bool read = std::fread(digest, 1, 64, pipe) == 64;
  const int status = pclose(pipe);
  const double elapsed = seconds_since(start);
  if (!read || status != 0) {
    throw std::runtime_error("sha256sum failed");
  }
  return {digest, elapsed};
}

fs::path write_bundle(const fs::path& dir, std::uint64_t size, std::string& digest,
                      double& sha_time) {
  fs::create_directories(dir);
  write_tensor_file(dir / "tensors.bin", size);
  std::tie(digest, sha_time) = system_sha256(dir / "tensors.bin"); // first run warms the cache
  std::tie(digest, sha_time) = system_sha256(dir / "tensors.bin");
  std::ofstream(dir / "assets.json") << "{}\n";
  const std::string assets_digest =
      "ca3d163bab055381827226140568f3bef7eaac187cebd76878e0b63e9e442356";
  std::ofstream manifest(dir / "manifest.json");
  manifest << "{\"format\": \"velmora-model-bundle\", \"format_version\": 1, \"byte_order\": "
              "\"little\",\n"
           << " \"language\": \"en\", \"processor\": \"bench\", \"package\": \"default\",\n"
           << " \"tavrel_version\": \"1.14.0\", \"resources_version\": \"1.14.0\", "
              "\"tensor_alignment\": 64,\n"
           << " \"assets\": {\"path\": \"assets.json\", \"sha256\": \"" << assets_digest << "\"},\n"
           << " \"tensor_file\": {\"path\": \"tensors.bin\", \"size\": " << size
           << ", \"sha256\": \"" << digest << "\"},\n"
           << " \"tensors\": [{\"name\": \"blob\", \"dtype\": \"uint8\", \"shape\": [" << size
           << "], \"offset\": 0, \"nbytes\": " << size << ", \"sha256\": \"" << digest << "\"}]}\n";
  return dir;
}

} // namespace

int main(int argc, char** argv) {
  const fs::path scratch = fs::path(argc > 1 ? argv[1] : "/tmp") / "velmora-bundle-bench";
  std::vector<std::uint64_t> sizes_mib;
  for (int i = 2; i < argc; ++i) {
    sizes_mib.push_back(std::stoull(argv[i]));
  }
  if (sizes_mib.empty()) {
    sizes_mib = {64, 256, 1024};
  }
  std::printf("%10s %12s %12s %12s %14s %14s %12s\n", "size MiB", "open ms", "RSS +kB", "read +kB",
              "verify MB/s", "sha256sum MB/s", "ratio");
  try {
    for (std::uint64_t mib : sizes_mib) {
      const std::uint64_t size = mib << 20;
      std::string digest;
      double sha_time = 0;
      const fs::path dir = write_bundle(scratch / std::to_string(mib), size, digest, sha_time);

      const long long rss_before = proc_value("/proc/self/status", "VmRSS");
      const long long read_before = proc_value("/proc/self/io", "rchar");
      auto start = Clock::now();
      {
        velmora::ModelBundle bundle(dir, false);
        const double open_time = seconds_since(start);
        const long long rss_growth = proc_value("/proc/self/status", "VmRSS") - rss_before;
        const long long read_growth = (proc_value("/proc/self/io", "rchar") - read_before) / 1024;

        start = Clock::now();
        velmora::ModelBundle verified(dir, true);
        const double verify_time = seconds_since(start);
        const double verify_rate = static_cast<double>(size) / verify_time / 1e6;
        const double system_rate = static_cast<double>(size) / sha_time / 1e6;
        std::printf("%10llu %12.3f %12lld %12lld %14.1f %14.1f %12.2f\n",
                    static_cast<unsigned long long>(mib), open_time * 1e3, rss_growth, read_growth,
                    verify_rate, system_rate, verify_rate / system_rate);
      }
      fs::remove_all(dir);
    }
  } catch (const std::exception& error) {
    std::cerr << "bundle_bench: " << error.what() << "\n";
    fs::remove_all(scratch);
    return 1;
  }
  fs::remove_all(scratch);
  std::printf("verify MB/s counts file bytes; verification hashes the tensor file and then each "
              "tensor range, so every byte of this one-tensor bundle is hashed twice\n");
  return 0;
}
