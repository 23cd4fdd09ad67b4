// Opens (or creates) a collection in the directory given as the first
// argument, inserts six 3-dimensional vectors with a payload each, and prints
// the three nearest to a query among those whose "colour" is "red" and whose
// "size" is at least 2. Exits 1 with the error's message when a call fails.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <varnel/collection.h>
#include <varnel/filter.h>
#include <varnel/payload.h>

namespace {

int fail(const varnel::Error& error) {
  std::fprintf(stderr, "varnel_example: %s\n", error.message().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: varnel_example DIRECTORY\n");
    return 2;
  }
  varnel::CollectionConfig config;
  config.dimension = 3;
  config.metric = varnel::DistanceMetric::Euclidean;
  auto opened = varnel::Collection::open_or_create(std::filesystem::path(argv[1]), config);
  if (!opened.ok()) return fail(opened.error());
  varnel::Collection& collection = *opened.value();

  struct Item {
    uint64_t id;
    std::vector<float> vector;
    const char* colour;
    int size;
  };
  const std::vector<Item> items = {
      {1, {0.0f, 0.0f, 0.0f}, "red", 1},  {2, {1.0f, 0.0f, 0.0f}, "red", 2},
      {3, {0.0f, 2.0f, 0.0f}, "blue", 3}, {4, {0.0f, 0.0f, 3.0f}, "red", 3},
      {5, {4.0f, 4.0f, 4.0f}, "red", 5},  {6, {0.5f, 0.5f, 0.0f}, "green", 2},
  };
  for (const Item& item : items) {
    varnel::Payload payload;
    payload.data["colour"] = item.colour;
    payload.data["size"] = item.size;
    varnel::Status inserted = collection.insert(item.id, item.vector, payload);
    if (!inserted.ok()) return fail(inserted.error());
  }
  varnel::Status flushed = collection.flush();
  if (!flushed.ok()) return fail(flushed.error());

  varnel::Filter filter{varnel::FilterCondition::and_of(
      varnel::FilterCondition::eq("colour", "red"), varnel::FilterCondition::gte("size", 2))};
  const std::vector<float> query = {0.0f, 0.0f, 0.0f};
  std::printf("%zu vectors; nearest red ones of size >= 2:\n", collection.len());
  for (const varnel::index::SearchResult& hit : collection.search(query, 3, &filter)) {
    std::printf("  id %llu  distance %.9g\n", static_cast<unsigned long long>(hit.id),
                static_cast<double>(hit.distance));
  }
  return 0;
}
