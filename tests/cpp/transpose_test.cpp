// The transposed CSR built on the device against a host counting sort,
// hub list included, on graphs of one tile of nodes and of several (the
// scans' carry between tiles); the copies it makes (the two totals only, no
// array through the host); and each of its launches made to fail, after
// which the next request builds it whole.
#include "engine/transpose.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "driver/context.hpp"
#include "driver/memory.hpp"
#include "engine/graph_store.hpp"
#include "software_gpu.hpp"

namespace vorlan::engine {
namespace {

using Words = std::vector<std::uint32_t>;

template <class T>
T must(GpuResult<T> result, std::string_view what) {
  if (!result) throw std::runtime_error(std::string(what) + ": " + result.error().display());
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

struct Csr {
  Words offsets, targets;
};

// n nodes of random out-lists (repeats and self-loops allowed), and every
// `hub_every`-th node pointed at by 33 to 64 more edges, from one node after
// another: hubs in every tile of 256 nodes.
Csr random_graph(std::uint32_t n, std::uint32_t hub_every, std::uint32_t seed) {
  std::mt19937 engine(seed);
  const auto below = [&engine](std::uint32_t bound) {
    return static_cast<std::uint32_t>(engine() % bound);
  };
  std::vector<Words> lists(n);
  for (std::uint32_t u = 0; u < n; ++u) {
    const std::uint32_t degree = below(6);
    for (std::uint32_t i = 0; i < degree; ++i) lists[u].push_back(below(n));
  }
  for (std::uint32_t hub = 0; hub_every != 0 && hub < n; hub += hub_every) {
    const std::uint32_t extra = 33 + below(32);
    for (std::uint32_t i = 0; i < extra; ++i) lists[(hub + i) % n].push_back(hub);
  }
  Csr csr{{0}, {}};
  for (const Words& list : lists) {
    csr.targets.insert(csr.targets.end(), list.begin(), list.end());
    csr.offsets.push_back(static_cast<std::uint32_t>(csr.targets.size()));
  }
  return csr;
}

// What the device must build: positions bucketed by target in ascending
// order, their sources, and the nodes of more than kWarpInDegree in-edges.
struct Expected {
  TransposedLists lists;
  Words hubs;
};

Expected host_transpose(const Csr& csr) {
  const auto n = static_cast<std::uint32_t>(csr.offsets.size() - 1);
  std::vector<Words> buckets(n);
  for (std::uint32_t u = 0; u < n; ++u) {
    for (std::uint32_t e = csr.offsets[u]; e < csr.offsets[u + 1]; ++e) {
      buckets[csr.targets[e]].push_back(e);
    }
  }
  Expected expected{{{0}, {}, {}}, {}};
  for (std::uint32_t v = 0; v < n; ++v) {
    for (std::uint32_t e : buckets[v]) {
      expected.lists.in_edges.push_back(e);
      const auto after = std::upper_bound(csr.offsets.begin(), csr.offsets.end(), e);
      expected.lists.in_sources.push_back(
          static_cast<std::uint32_t>(after - csr.offsets.begin() - 1));
    }
    expected.lists.in_offsets.push_back(static_cast<std::uint32_t>(expected.lists.in_edges.size()));
    if (buckets[v].size() > kWarpInDegree) expected.hubs.push_back(v);
  }
  return expected;
}

class TransposeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto context = driver::DeviceContext::create(0);
    if (!context) throw std::runtime_error("DeviceContext::create failed");
    stream_ = std::make_shared<driver::DeviceStream>(*context);
  }
  static void TearDownTestSuite() { stream_.reset(); }

  static GraphStore store(const Csr& csr) {
    return must(GraphStore::build(csr.offsets, csr.targets, stream_), "GraphStore::build");
  }

  static void expect_built(const GraphStore& graph, const Csr& csr) {
    const Expected expected = host_transpose(csr);
    const TransposedCsr* in = must(graph.transposed(), "transposed");
    const TransposedLists lists = must(download_transpose(graph), "download_transpose");
    EXPECT_EQ(lists.in_offsets, expected.lists.in_offsets);
    EXPECT_EQ(lists.in_edges, expected.lists.in_edges);
    EXPECT_EQ(lists.in_sources, expected.lists.in_sources);
    EXPECT_EQ(in->num_in, expected.lists.in_edges.size());
    EXPECT_EQ(in->num_hubs, expected.hubs.size());
    auto hubs = driver::download(*stream_, in->hubs);
    ASSERT_TRUE(hubs.has_value());
    EXPECT_EQ(*hubs, expected.hubs);
  }

  static inline driver::SharedStream stream_;
};

struct Shape {
  std::uint32_t nodes, hub_every;
};

void PrintTo(const Shape& shape, std::ostream* out) {
  *out << shape.nodes << " nodes, a hub every " << shape.hub_every;
}

class TransposeShapes : public TransposeTest, public ::testing::WithParamInterface<Shape> {};

// Built from two totals read back, nothing else: no upload at all.
TEST_P(TransposeShapes, MatchesTheHostWithOnlyTheTotalsCopied) {
  const Shape shape = GetParam();
  const Csr csr = random_graph(shape.nodes, shape.hub_every, shape.nodes + 3);
  const GraphStore graph = store(csr);
  test::CallCounter calls;
  must(graph.transposed(), "transposed");
  EXPECT_EQ(calls.made("cuMemcpyHtoDAsync_v2"), 0u);
  EXPECT_EQ(calls.made("cuMemcpyDtoHAsync_v2"), 2u);
  expect_built(graph, csr);
}

INSTANTIATE_TEST_SUITE_P(Graphs, TransposeShapes,
                         ::testing::Values(Shape{0, 0}, Shape{1, 1}, Shape{200, 0}, Shape{300, 37},
                                           Shape{5000, 9}, Shape{70'000, 251}));

// The launches of the count, the offsets' two scans, the hub flags, their
// scan and list, and the scatter; the first failure is the build's error,
// and the build after it is whole.
class TransposeFaults : public TransposeTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(TransposeFaults, FailedLaunchLeavesTheNextBuildWhole) {
  const Csr csr = random_graph(600, 50, 11);
  const GraphStore graph = store(csr);
  test::fail_call("cuLaunchKernel", cuda::CUDA_ERROR_LAUNCH_OUT_OF_RESOURCES, GetParam());
  const auto failed = graph.transposed();
  ASSERT_FALSE(failed.has_value());
  EXPECT_TRUE(std::holds_alternative<GpuError::Kernel>(failed.error().variant()))
      << failed.error().display();
  expect_built(graph, csr);
}

INSTANTIATE_TEST_SUITE_P(Launches, TransposeFaults,
                         ::testing::Values(1u, 2u, 5u, 8u, 9u, 11u, 12u, 13u, 15u));

}  // namespace
}  // namespace vorlan::engine
