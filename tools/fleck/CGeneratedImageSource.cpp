#include "CGeneratedImageSource.h"

#include "CSizes.h"

namespace fleck::cli {

CGeneratedImageSource::CGeneratedImageSource(std::int64_t size, std::uint64_t seed, int generation)
    : generator(size, seed, generation), generation(generation) {}

std::size_t CGeneratedImageSource::read(unsigned char* out, std::size_t count) {
  const std::size_t got = generator.read(out, count);
  digest.update(out, got);
  return got;
}

std::string CGeneratedImageSource::describe() const {
  return "generated image (" + CSizes::format(generator.getSize()) + ", generation " +
         std::to_string(generation) + ")";
}

}  // namespace fleck::cli
