// The kernels the engine ships but never launches: triangle_count_kernel (one
// thread per node) and bfs_frontier_kernel (one level per launch, scanning
// every node). Both are launched here directly through the driver layer and
// must agree with their launched twins (count_triangles, breadth_first_search)
// and with a plain host computation. The warp kernel is also launched with
// grids far smaller than one warp per node, which only its node stride can
// cover; so are the edge-parallel triangle kernel and the reverse search,
// whose position strides only small grids reach.
#include "engine/kernels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "driver/context.hpp"
#include "driver/launch.hpp"
#include "driver/memory.hpp"
#include "engine/bfs.hpp"
#include "engine/graph_store.hpp"
#include "engine/k_truss.hpp"
#include "engine/kernel_steps.hpp"
#include "engine/triangle_counting.hpp"
#include "software_gpu.hpp"

namespace vorlan::engine {
namespace {

using driver::DeviceBuffer;
using driver::KernelFunction;
using driver::KernelLaunch;
using driver::SharedStream;

constexpr std::uint32_t kThreads = 256;
constexpr std::uint32_t kUnvisited = 0xFFFFFFFF;

template <class T>
T must(driver::DriverResult<T> result, std::string_view what) {
  if (!result)
    throw std::runtime_error(std::string(what) + ": " + driver::to_string(result.error()));
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

template <class T>
T must(GpuResult<T> result, std::string_view what) {
  if (!result) throw std::runtime_error(std::string(what) + ": " + result.error().display());
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

// ---------------------------------------------------------------------------
// Graphs, as sorted duplicate-free lists with both directions of every edge.

// What the reverse search leaves in entries it never writes.
constexpr std::uint32_t kUntouched = 0x5A5A5A5A;

struct Graph {
  std::string name;
  std::vector<std::vector<std::uint32_t>> lists;

  std::uint32_t nodes() const { return static_cast<std::uint32_t>(lists.size()); }
  std::vector<std::uint32_t> offsets() const {
    std::vector<std::uint32_t> result{0};
    for (const auto& list : lists)
      result.push_back(result.back() + static_cast<std::uint32_t>(list.size()));
    return result;
  }
  std::vector<std::uint32_t> targets() const {
    std::vector<std::uint32_t> result;
    for (const auto& list : lists) result.insert(result.end(), list.begin(), list.end());
    return result;
  }
};

void PrintTo(const Graph& graph, std::ostream* out) { *out << graph.name; }

Graph from_edges(std::string name, std::uint32_t n,
                 const std::vector<std::pair<std::uint32_t, std::uint32_t>>& edges) {
  std::vector<std::set<std::uint32_t>> sets(n);
  for (auto [u, v] : edges) {
    if (u == v) continue;
    sets[u].insert(v);
    sets[v].insert(u);
  }
  Graph graph{std::move(name), {}};
  for (const auto& set : sets) graph.lists.emplace_back(set.begin(), set.end());
  return graph;
}

Graph random_graph(std::uint32_t n, double p, std::uint32_t seed) {
  std::mt19937 engine(seed);
  std::bernoulli_distribution coin(p);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
  for (std::uint32_t u = 0; u < n; ++u) {
    for (std::uint32_t v = u + 1; v < n; ++v) {
      if (coin(engine)) edges.emplace_back(u, v);
    }
  }
  return from_edges("random-" + std::to_string(n) + "-" + std::to_string(seed), n, edges);
}

Graph clique(std::uint32_t n) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
  for (std::uint32_t u = 0; u < n; ++u) {
    for (std::uint32_t v = u + 1; v < n; ++v) edges.emplace_back(u, v);
  }
  return from_edges("clique-" + std::to_string(n), n, edges);
}

// A hub joined to every node of a cycle, with the hub in the middle of the
// numbering so that it has neighbours on both sides.
Graph wheel(std::uint32_t rim) {
  const std::uint32_t hub = rim / 2;
  std::vector<std::uint32_t> ring;
  for (std::uint32_t v = 0; v <= rim; ++v) {
    if (v != hub) ring.push_back(v);
  }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
  for (std::size_t i = 0; i < ring.size(); ++i) {
    edges.emplace_back(hub, ring[i]);
    edges.emplace_back(ring[i], ring[(i + 1) % ring.size()]);
  }
  return from_edges("wheel-" + std::to_string(rim), rim + 1, edges);
}

// Chains, stars and cliques side by side, plus nodes with no neighbours.
Graph pieces() {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
  for (std::uint32_t v = 0; v + 1 < 10; ++v) edges.emplace_back(v, v + 1);
  for (std::uint32_t leaf = 11; leaf < 30; ++leaf) edges.emplace_back(10, leaf);
  for (std::uint32_t u = 30; u < 38; ++u) {
    for (std::uint32_t v = u + 1; v < 38; ++v) edges.emplace_back(u, v);
  }
  return from_edges("pieces", 45, edges);
}

Graph grid(std::uint32_t rows, std::uint32_t columns) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
  for (std::uint32_t r = 0; r < rows; ++r) {
    for (std::uint32_t c = 0; c < columns; ++c) {
      const std::uint32_t v = r * columns + c;
      if (c + 1 < columns) edges.emplace_back(v, v + 1);
      if (r + 1 < rows) edges.emplace_back(v, v + columns);
    }
  }
  return from_edges("grid", rows * columns, edges);
}

std::vector<Graph> graphs() {
  return {random_graph(60, 0.2, 1),
          random_graph(150, 0.05, 2),
          random_graph(300, 0.02, 3),
          random_graph(40, 0.6, 4),
          clique(4),
          clique(40),
          wheel(120),
          pieces(),
          grid(12, 13),
          from_edges("edgeless", 20, {})};
}

// Every triple u < v < w that is a triangle, by membership tests.
std::uint64_t host_triangles(const Graph& graph) {
  std::uint64_t total = 0;
  for (std::uint32_t u = 0; u < graph.nodes(); ++u) {
    const auto& nu = graph.lists[u];
    for (std::uint32_t v : nu) {
      if (v <= u) continue;
      const auto& nv = graph.lists[v];
      for (std::uint32_t w : nu) {
        if (w > v && std::binary_search(nv.begin(), nv.end(), w)) ++total;
      }
    }
  }
  return total;
}

std::vector<std::uint32_t> host_distances(const Graph& graph, std::uint32_t source) {
  std::vector<std::uint32_t> distance(graph.nodes(), kUnvisited);
  std::deque<std::uint32_t> queue{source};
  distance[source] = 0;
  while (!queue.empty()) {
    const std::uint32_t u = queue.front();
    queue.pop_front();
    for (std::uint32_t v : graph.lists[u]) {
      if (distance[v] == kUnvisited) {
        distance[v] = distance[u] + 1;
        queue.push_back(v);
      }
    }
  }
  return distance;
}

// ---------------------------------------------------------------------------
// The device, its stream and the two modules, loaded once for all tests.

class KernelsFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto context = must(driver::DeviceContext::create(0), "DeviceContext::create");
    stream_ = std::make_shared<driver::DeviceStream>(context);
    auto triangles =
        must(driver::load_module(context, kernels::triangle_counting_ptx), "load triangles");
    per_thread_ =
        must(driver::get_function(triangles, "triangle_count_kernel"), "per-thread kernel");
    per_warp_ = must(driver::get_function(triangles, "triangle_count_warp_kernel"), "warp kernel");
    auto bfs = must(driver::load_module(context, kernels::bfs_ptx), "load bfs");
    frontier_scan_ = must(driver::get_function(bfs, "bfs_frontier_kernel"), "frontier kernel");
    auto edges =
        must(driver::load_module(context, kernels::triangle_counting_edges_ptx), "load edges");
    per_edge_ = must(driver::get_function(edges, "triangle_count_edges_kernel"), "edge kernel");
    auto peeling = must(driver::load_module(context, kernels::k_truss_peeling_ptx), "load peeling");
    reverse_search_ = must(driver::get_function(peeling, "reverse_edge_kernel"), "reverse kernel");
  }
  static void TearDownTestSuite() {
    per_edge_ = {};
    reverse_search_ = {};
    per_thread_ = {};
    per_warp_ = {};
    frontier_scan_ = {};
    stream_.reset();
  }

  GraphStore store(const Graph& graph) {
    return must(GraphStore::build(graph.offsets(), graph.targets(), stream_), "GraphStore::build");
  }

  template <class T>
  DeviceBuffer<T> upload(const std::vector<T>& host) {
    return must(driver::upload<T>(stream_, host), "upload");
  }

  template <class T>
  std::vector<T> download(const DeviceBuffer<T>& buffer) {
    must(driver::synchronize(*stream_), "synchronize");
    return must(driver::download<T>(*stream_, buffer), "download");
  }

  static std::uint32_t blocks_for(std::uint32_t threads) {
    return (threads + kThreads - 1) / kThreads;
  }

  // triangle_count_kernel(offsets, targets, num_nodes, count), one thread per node.
  std::uint64_t count_per_thread(const GraphStore& graph) {
    auto count = upload<std::uint64_t>({0});
    const std::uint32_t n = graph.num_nodes();
    KernelLaunch launch(*stream_, per_thread_);
    launch.read(graph.offsets()).read(graph.targets()).scalar(n).write(count);
    must(launch.launch(driver::linear_launch(blocks_for(n), kThreads)), "per-thread launch");
    return download(count).at(0);
  }

  // triangle_count_warp_kernel(offsets, targets, num_nodes, num_edges, count)
  // on a grid of `blocks` blocks, whatever the node count.
  std::uint64_t count_per_warp(const GraphStore& graph, std::uint32_t blocks) {
    auto count = upload<std::uint64_t>({0});
    const std::uint32_t n = graph.num_nodes();
    const std::uint32_t m = graph.num_edges();
    KernelLaunch launch(*stream_, per_warp_);
    launch.read(graph.offsets()).read(graph.targets()).scalar(n).scalar(m).write(count);
    must(launch.launch(driver::linear_launch(blocks, kThreads)), "warp launch");
    return download(count).at(0);
  }

  // triangle_count_edges_kernel(offsets, targets, num_nodes, num_edges, count,
  // pairs, pair_count, phase) on a grid of `blocks` blocks, whatever the edge
  // count: the position sweeps, then the list phase over the large pairs they
  // left.
  // `listed`, when given, receives how many pairs the sweeps left for the list.
  std::uint64_t count_per_edge(const GraphStore& graph, std::uint32_t blocks,
                               std::uint32_t* listed = nullptr) {
    auto count = upload<std::uint64_t>({0});
    const std::uint32_t n = graph.num_nodes();
    const std::uint32_t m = graph.num_edges();
    auto pairs = upload(std::vector<std::uint32_t>(std::size_t{5} * m + 1, 0));
    auto pair_count = upload<std::uint32_t>({0});
    for (const std::uint32_t phase : {0u, 1u}) {
      KernelLaunch launch(*stream_, per_edge_);
      launch.read(graph.offsets())
          .read(graph.targets())
          .scalar(n)
          .scalar(m)
          .write(count)
          .write(pairs)
          .write(pair_count)
          .scalar(phase);
      must(launch.launch(driver::linear_launch(blocks, kThreads)), "edge launch");
    }
    if (listed != nullptr) *listed = download(pair_count).at(0);
    return download(count).at(0);
  }

  // reverse_edge_kernel(offsets, targets, num_nodes, num_edges, reverse,
  // unpaired) on `blocks` blocks, with reverse filled with kUntouched and
  // unpaired starting at num_edges: the reverse positions and the count of
  // positions left without one.
  std::pair<std::vector<std::uint32_t>, std::uint32_t> search_reverses(const GraphStore& graph,
                                                                       std::uint32_t blocks) {
    const std::uint32_t n = graph.num_nodes();
    const std::uint32_t m = graph.num_edges();
    auto reverse = upload(std::vector<std::uint32_t>(m, kUntouched));
    auto unpaired = upload<std::uint32_t>({m});
    KernelLaunch launch(*stream_, reverse_search_);
    launch.read(graph.offsets())
        .read(graph.targets())
        .scalar(n)
        .scalar(m)
        .write(reverse)
        .write(unpaired);
    must(launch.launch(driver::linear_launch(blocks, kThreads)), "reverse launch");
    return {download(reverse), download(unpaired).at(0)};
  }

  // Level after level of bfs_frontier_kernel(offsets, targets, distances,
  // num_nodes, level, changed) until a level changes nothing.
  std::vector<std::uint32_t> search_by_scans(const GraphStore& graph, std::uint32_t source,
                                             std::uint32_t* levels_run) {
    const std::uint32_t n = graph.num_nodes();
    std::vector<std::uint32_t> initial(n, kUnvisited);
    initial[source] = 0;
    auto distances = upload(initial);
    auto changed = upload<std::uint32_t>({0});
    std::uint32_t level = 0;
    for (;; ++level) {
      must(
          driver::copy_to_device<std::uint32_t>(*stream_, std::array<std::uint32_t, 1>{0}, changed),
          "reset changed");
      KernelLaunch launch(*stream_, frontier_scan_);
      launch.read(graph.offsets())
          .read(graph.targets())
          .write(distances)
          .scalar(n)
          .scalar(level)
          .write(changed);
      must(launch.launch(driver::linear_launch(blocks_for(n), kThreads)), "frontier launch");
      if (download(changed).at(0) == 0) break;
      if (level > n) throw std::runtime_error("the scan does not settle");
    }
    *levels_run = level + 1;
    return download(distances);
  }

  static inline SharedStream stream_;
  static inline KernelFunction per_thread_;
  static inline KernelFunction per_warp_;
  static inline KernelFunction frontier_scan_;
  static inline KernelFunction per_edge_;
  static inline KernelFunction reverse_search_;
};

class KernelsTest : public KernelsFixture, public ::testing::WithParamInterface<Graph> {};
class WarpStride : public KernelsFixture {};

TEST_P(KernelsTest, PerThreadCountMatchesTheWarpKernelAndTheHost) {
  const Graph& graph = GetParam();
  const GraphStore stored = store(graph);
  const std::uint64_t expected = host_triangles(graph);
  EXPECT_EQ(count_per_thread(stored), expected);
  EXPECT_EQ(must(count_triangles(stored), "count_triangles").total_triangles, expected);
}

TEST_P(KernelsTest, WarpKernelStridesOverNodesOnSmallGrids) {
  const Graph& graph = GetParam();
  const GraphStore stored = store(graph);
  const std::uint64_t expected = host_triangles(graph);
  // 8 warps per block: one block covers 8 nodes at a time, and grids that
  // end mid-stride, that match the node count, or exceed it are all tried.
  for (std::uint32_t blocks : {1u, 2u, 3u, 5u, 7u, blocks_for(graph.nodes() * 32), 64u}) {
    EXPECT_EQ(count_per_warp(stored, blocks), expected) << blocks << " blocks";
  }
}

TEST_P(KernelsTest, FrontierScanMatchesTheQueueSearchAndTheHost) {
  const Graph& graph = GetParam();
  const GraphStore stored = store(graph);
  std::mt19937 engine(graph.nodes());
  std::vector<std::uint32_t> sources{0, graph.nodes() - 1, graph.nodes() / 2};
  sources.push_back(std::uniform_int_distribution<std::uint32_t>(0, graph.nodes() - 1)(engine));
  for (std::uint32_t source : sources) {
    const auto expected = host_distances(graph, source);
    std::uint32_t levels = 0;
    EXPECT_EQ(search_by_scans(stored, source, &levels), expected) << "source " << source;
    const BfsResult queued = must(breadth_first_search(stored, source), "breadth_first_search");
    EXPECT_EQ(queued.distances, expected) << "source " << source;
    // Both stop after the first level that reaches nothing new.
    std::uint32_t deepest = 0;
    for (std::uint32_t d : expected) {
      if (d != kUnvisited) deepest = std::max(deepest, d);
    }
    EXPECT_EQ(queued.max_depth, deepest);
    EXPECT_EQ(levels, deepest + 1);
  }
}

TEST_P(KernelsTest, EdgeKernelStridesOverPositionsOnSmallGrids) {
  const Graph& graph = GetParam();
  const GraphStore stored = store(graph);
  const std::uint64_t expected = host_triangles(graph);
  // 256 positions per block and sweep: grids that end mid-sweep, that match
  // the position count, or exceed it.
  for (std::uint32_t blocks :
       {1u, 2u, 3u, 7u, std::max(grid_blocks(stored.num_edges()), 1u), 40u}) {
    EXPECT_EQ(count_per_edge(stored, blocks), expected) << blocks << " blocks";
  }
  EXPECT_EQ(must(count_triangles(stored, KernelChoice::automatic), "count").total_triangles,
            expected);
}

// Where v's list holds u, for each position u -> v; kUntouched where not.
std::vector<std::uint32_t> host_reverses(const Graph& graph) {
  std::vector<std::uint32_t> reverse;
  const auto offsets = graph.offsets();
  for (std::uint32_t u = 0; u < graph.nodes(); ++u) {
    for (std::uint32_t v : graph.lists[u]) {
      const auto& nv = graph.lists[v];
      const auto at = std::lower_bound(nv.begin(), nv.end(), u);
      reverse.push_back(at != nv.end() && *at == u
                            ? offsets[v] + static_cast<std::uint32_t>(at - nv.begin())
                            : kUntouched);
    }
  }
  return reverse;
}

TEST_P(KernelsTest, ReverseSearchFindsEveryReverse) {
  Graph graph = GetParam();
  if (graph.targets().empty()) GTEST_SKIP() << "no positions";
  const auto expected = host_reverses(graph);
  for (std::uint32_t blocks : {1u, 3u, grid_blocks(static_cast<std::uint32_t>(expected.size()))}) {
    EXPECT_EQ(search_reverses(store(graph), blocks), std::pair(expected, 0u))
        << blocks << " blocks";
  }
  // One direction dropped from the busiest list: the positions that pointed
  // at it lose their reverse, and only those count.
  auto busiest = std::max_element(graph.lists.begin(), graph.lists.end(),
                                  [](const auto& a, const auto& b) { return a.size() < b.size(); });
  busiest->pop_back();
  const auto one_way = host_reverses(graph);
  const auto missing =
      static_cast<std::uint32_t>(std::count(one_way.begin(), one_way.end(), kUntouched));
  EXPECT_EQ(missing, 1u);
  EXPECT_EQ(search_reverses(store(graph), 2), std::pair(one_way, missing));
}

TEST_F(WarpStride, LargestPairsRunInTheListPhase) {
  // In a clique of n, the edge u -> v pairs the n - 1 - v nodes above v from
  // both lists: pairs over 128 elements go to the list phase, one per warp.
  for (const std::uint32_t n : {40u, 131u, 150u}) {
    const Graph graph = clique(n);
    const GraphStore stored = store(graph);
    const std::uint64_t expected = std::uint64_t{n} * (n - 1) * (n - 2) / 6;
    const std::uint64_t above = n > 130 ? n - 130 : 0;  // v < n - 129
    for (const std::uint32_t blocks : {1u, 3u, grid_blocks(stored.num_edges())}) {
      std::uint32_t listed = 0;
      EXPECT_EQ(count_per_edge(stored, blocks, &listed), expected) << n << " " << blocks;
      EXPECT_EQ(listed, above * (above + 1) / 2) << n << " " << blocks;
    }
  }
}

// Each edge is searched from one side only: a position whose reverse is
// missing must count whichever side would have searched, and a self-loop,
// which neither side searches, must count too.
struct OneWay {
  const char* name;
  std::vector<std::vector<std::uint32_t>> lists;
  std::vector<std::uint32_t> reverse;
  std::uint32_t unpaired;
};

class ReverseSearch : public KernelsFixture, public ::testing::WithParamInterface<OneWay> {};

TEST_P(ReverseSearch, CountsEveryPositionLeftWithoutAReverse) {
  const OneWay& one_way = GetParam();
  const Graph graph{one_way.name, one_way.lists};
  const GraphStore stored = store(graph);
  EXPECT_EQ(search_reverses(stored, 1), std::pair(one_way.reverse, one_way.unpaired));
}

constexpr std::uint32_t kU = kUntouched;
INSTANTIATE_TEST_SUITE_P(
    Shapes, ReverseSearch,
    ::testing::Values(
        // 0-1 both ways, and 1 -> 1.
        OneWay{"self_loop", {{1}, {0, 1}}, {1, 0, kU}, 1},
        // 3 -> 0 alone: 0's list is the longer, so 3 -> 0 would not search.
        OneWay{
            "missing_on_the_longer_side", {{1, 2}, {0, 2}, {0, 1}, {0}}, {2, 4, 0, 5, 1, 3, kU}, 1},
        // 0 -> 3 alone: 3's list is the shorter, so 0 -> 3 searches in vain.
        OneWay{"missing_on_the_shorter_side",
               {{1, 2, 3}, {0, 2}, {0, 1}, {}},
               {3, 5, kU, 0, 6, 1, 4},
               1},
        // Lists of equal length: the position toward the smaller node searches.
        OneWay{"ring", {{1, 3}, {0, 2}, {1, 3}, {0, 2}}, {2, 6, 0, 4, 3, 7, 1, 5}, 0},
        // 0 -> 1 alone, lists of equal length: 0 -> 1 would not search.
        OneWay{"missing_between_equal_lengths", {{1}, {2}, {1}}, {kU, 2, 1}, 1}),
    [](const ::testing::TestParamInfo<OneWay>& param_info) {
      return std::string(param_info.param.name);
    });

INSTANTIATE_TEST_SUITE_P(Graphs, KernelsTest, ::testing::ValuesIn(graphs()),
                         [](const ::testing::TestParamInfo<Graph>& param_info) {
                           std::string name = param_info.param.name;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// A graph of 100 nodes counted by grids of one and two blocks: 8 and 16 warps
// must each take a dozen nodes or more in turn.
TEST_F(WarpStride, CoversAHundredNodesWithOneOrTwoBlocks) {
  const Graph graph = random_graph(100, 0.15, 7);
  const GraphStore stored = store(graph);
  const std::uint64_t expected = host_triangles(graph);
  ASSERT_GT(expected, 0u);
  EXPECT_EQ(count_per_warp(stored, 1), expected);
  EXPECT_EQ(count_per_warp(stored, 2), expected);
}

// Each node's triangles land in the total exactly once however the nodes are
// dealt out to warps: a graph whose triangles all sit at distinct nodes gives
// a total that would show a node skipped or counted twice.
TEST_F(WarpStride, TakesEveryNodeOnce) {
  // Node 3i is the smallest corner of i + 1 triangles, for i = 0 .. 32.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
  std::uint32_t next = 99;
  std::uint64_t expected = 0;
  for (std::uint32_t i = 0; i < 33; ++i) {
    const std::uint32_t apex = 3 * i;
    for (std::uint32_t t = 0; t <= i; ++t) {
      const std::uint32_t a = next++, b = next++;
      edges.insert(edges.end(), {{apex, a}, {apex, b}, {a, b}});
      ++expected;
    }
  }
  const Graph graph = from_edges("fans", next, edges);
  ASSERT_EQ(host_triangles(graph), expected);
  const GraphStore stored = store(graph);
  for (std::uint32_t blocks : {1u, 2u, 4u, 9u, blocks_for(next * 32)}) {
    EXPECT_EQ(count_per_warp(stored, blocks), expected) << blocks << " blocks";
  }
}

// The k-truss by recounting on the host: edges (u < v) whose support among
// the live edges is below k - 2 go, round after round, until a round
// removes nothing; that last round counts too.
std::pair<std::set<std::pair<std::uint32_t, std::uint32_t>>, std::uint32_t> host_truss(
    const Graph& graph, std::uint32_t k) {
  std::set<std::pair<std::uint32_t, std::uint32_t>> live;
  for (std::uint32_t u = 0; u < graph.nodes(); ++u) {
    for (std::uint32_t v : graph.lists[u]) {
      if (u < v) live.emplace(u, v);
    }
  }
  const auto linked = [&](std::uint32_t a, std::uint32_t b) {
    return live.contains({std::min(a, b), std::max(a, b)});
  };
  for (std::uint32_t rounds = 1;; ++rounds) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> going;
    for (auto [u, v] : live) {
      std::uint32_t support = 0;
      for (std::uint32_t w : graph.lists[u]) support += linked(u, w) && linked(v, w) ? 1 : 0;
      if (support + 2 < k) going.emplace_back(u, v);
    }
    if (going.empty()) return {live, rounds};
    for (const auto& edge : going) live.erase(edge);
  }
}

// The kernels every embedded module declares, by name: the word after each
// ".entry". (A plain scan: <regex> trips GCC's uninitialised-use warning
// under the sanitizer build.)
std::vector<std::string> kernel_names() {
  const auto word_char = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
  };
  std::vector<std::string> names;
  for (std::string_view ptx :
       {kernels::triangle_counting_ptx, kernels::bfs_ptx, kernels::pagerank_ptx,
        kernels::k_truss_ptx, kernels::triangle_counting_edges_ptx, kernels::k_truss_peeling_ptx}) {
    for (auto at = ptx.find(".entry"); at != std::string_view::npos; at = ptx.find(".entry", at)) {
      at += std::string_view(".entry").size();
      while (at < ptx.size() && std::isspace(static_cast<unsigned char>(ptx[at]))) ++at;
      const auto start = at;
      while (at < ptx.size() && word_char(ptx[at])) ++at;
      if (at > start) names.emplace_back(ptx.substr(start, at - start));
    }
  }
  return names;
}

// What each kernel launched since the last reset did: its atomics, the
// global sectors it requested, and how many of them were distinct.
struct Work {
  std::uint64_t atomics, sectors, distinct;
};
using KernelWork = std::map<std::string, Work>;

KernelWork kernel_work() {
  KernelWork work;
  for (const std::string& name : kernel_names()) {
    struct vemu_kernel_stats stats{};
    if (test::software_gpu().kernel_stats(name.c_str(), &stats, sizeof stats) ==
        int{sizeof stats}) {
      work[name] = {stats.atomics, stats.global_sectors, stats.distinct_global_sectors};
    }
  }
  return work;
}

// Every kernel k-truss launches on a canonical graph, with each grid capped
// at a few blocks: each thread strides over many positions. One that stepped
// by its block instead of the grid would have every block after the first
// take positions the ones before it took too: a wrong truss where that
// changes a count, other atomics than on one block (where the two strides
// are the same), and, in a kernel that touches each sector once on one block
// (fills and clears), sectors requested more than once. Other kernels'
// requests vary with the grid anyway, as lanes that diverge meet other lanes
// at their k-th visit of a load.
class KTrussOnSmallGrids : public KernelsFixture,
                           public ::testing::WithParamInterface<std::uint32_t> {
 protected:
  void TearDown() override { grid_cap_for_tests = 0; }

  std::pair<KTrussResult, KernelWork> run(const GraphStore& graph, std::uint32_t k,
                                          std::uint32_t cap) {
    test::software_gpu().reset_stats();
    grid_cap_for_tests = cap;
    KTrussResult result = must(k_truss(graph, k), "k_truss");
    grid_cap_for_tests = 0;
    return {std::move(result), kernel_work()};
  }
};

TEST_P(KTrussOnSmallGrids, PeelsWhatTheHostPeels) {
  // 2,000 and about 3,000 positions: more than 7 blocks of 256 threads hold.
  for (const Graph& graph : {wheel(1000), random_graph(100, 0.3, 5)}) {
    const GraphStore stored = store(graph);
    ASSERT_GT(stored.num_edges(), 7u * kThreads) << graph.name;
    for (std::uint32_t k : {3u, 4u, 6u}) {
      const auto [expected, rounds] = host_truss(graph, k);
      const KTrussResult full = run(stored, k, 0).first;
      const auto [single, single_work] = run(stored, k, 1);
      const auto [result, work] = run(stored, k, GetParam());
      const std::set<std::pair<std::uint32_t, std::uint32_t>> got(result.edges.begin(),
                                                                  result.edges.end());
      EXPECT_EQ(got, expected) << graph.name << ", k = " << k;
      EXPECT_EQ(result.iterations, rounds) << graph.name << ", k = " << k;
      EXPECT_EQ(full.iterations, rounds) << graph.name << ", k = " << k;
      ASSERT_EQ(work.size(), single_work.size()) << graph.name << ", k = " << k;
      for (const auto& [name, done] : work) {
        const Work& one_block = single_work.at(name);
        EXPECT_EQ(done.atomics, one_block.atomics) << name << ", k = " << k;
        if (one_block.sectors == one_block.distinct) {
          EXPECT_EQ(done.sectors, done.distinct) << name << ", k = " << k;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Blocks, KTrussOnSmallGrids, ::testing::Values(1u, 2u, 3u, 7u));

TEST(TriangleBlocks, OneWarpPerNodeUpToTheCap) {
  static constexpr std::uint64_t cap = (std::uint64_t{1} << 24) - 1;
  auto expected = [](std::uint64_t n) {
    return static_cast<std::uint32_t>(std::min((n + 7) / 8, cap));
  };
  for (std::uint64_t n :
       {0ull, 1ull, 7ull, 8ull, 9ull, 100ull, 1000003ull, (1ull << 27) - 9, (1ull << 27) - 8,
        (1ull << 27) - 1, 1ull << 27, (1ull << 27) + 1, 0xFFFFFFFFull}) {
    EXPECT_EQ(triangle_blocks(static_cast<std::uint32_t>(n)), expected(n)) << n;
  }
  // The largest grid keeps its thread count within 32 bits.
  EXPECT_LE(std::uint64_t{triangle_blocks(0xFFFFFFFF)} * kThreads, 0xFFFFFFFFull);
}

TEST(GridBlocks, OneThreadPerElementUpToTheCap) {
  static constexpr std::uint64_t cap = (std::uint64_t{1} << 24) - 1;
  for (std::uint64_t n : std::initializer_list<std::uint64_t>{
           0, 1, 255, 256, 257, (cap << 8) - 1, cap << 8, (cap << 8) + 1, 0xFFFFFFFF}) {
    EXPECT_EQ(grid_blocks(static_cast<std::uint32_t>(n)), std::min((n + 255) / 256, cap)) << n;
  }
  EXPECT_LE(std::uint64_t{grid_blocks(0xFFFFFFFF)} * kThreads, 0xFFFFFFFFull);
}

TEST(DealtBlocks, SpreadPastOneBlockWithEveryEntryIndexInThirtyTwoBits) {
  for (std::uint64_t n :
       std::initializer_list<std::uint64_t>{0, 1, 256, 257, 64 * 300 + 1, (64ull << 24) - 1,
                                            64ull << 24, (64ull << 24) + 1, 0xFFFFFFFF}) {
    const std::uint64_t blocks = dealt_blocks(static_cast<std::uint32_t>(n));
    // Every entry has a thread, and thread t of block b takes t * B + b < 2^32.
    EXPECT_GE(blocks * kThreads, n) << n;
    EXPECT_LE(blocks * kThreads, 1ull << 32) << n;
    if (n <= kThreads) {
      EXPECT_EQ(blocks, n == 0 ? 0u : 1u) << n;
    } else {
      EXPECT_EQ(blocks, std::min((n + 63) / 64, std::uint64_t{1} << 24)) << n;
    }
  }
}

struct ListsCase {
  std::string name;
  std::vector<std::uint32_t> offsets;
  std::vector<std::uint32_t> targets;
  bool ascending;
};

void PrintTo(const ListsCase& c, std::ostream* out) { *out << c.name; }

class StrictlyAscending : public ::testing::TestWithParam<ListsCase> {};

TEST_P(StrictlyAscending, OnlyStepsInsideListsMustRise) {
  const ListsCase& c = GetParam();
  ASSERT_TRUE(validate_csr(c.offsets, c.targets));
  EXPECT_EQ(lists_strictly_ascending(c.offsets, c.targets), c.ascending);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, StrictlyAscending,
    ::testing::Values(ListsCase{"triangle", {0, 2, 4, 6}, {1, 2, 0, 2, 0, 1}, true},
                      ListsCase{"descent_inside", {0, 2, 4, 6}, {2, 1, 0, 2, 0, 1}, false},
                      ListsCase{"repeat_inside", {0, 3, 4, 5}, {1, 2, 2, 0, 0}, false},
                      ListsCase{"repeat_across", {0, 1, 2, 4}, {2, 2, 0, 1}, true},
                      ListsCase{"empty_lists_between", {0, 0, 2, 2, 3, 4, 4}, {2, 3, 1, 1}, true},
                      ListsCase{"descent_after_empty", {0, 2, 2, 4}, {1, 2, 1, 0}, false},
                      ListsCase{"last_step", {0, 3, 3, 3}, {0, 2, 1}, false},
                      ListsCase{"offsets_start_late", {1, 2, 3}, {5, 1, 0}, false},
                      ListsCase{"entry_behind_last_list", {0, 1, 2}, {1, 0, 1}, false},
                      ListsCase{"no_edges", {0, 0, 0}, {}, false},
                      ListsCase{"no_nodes", {0}, {}, false},
                      ListsCase{"single_entry", {0, 1}, {0}, true}),
    [](const ::testing::TestParamInfo<ListsCase>& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace vorlan::engine
