#include "support/BufferedReader.h"

#include <cerrno>
#include <cstring>

#include "support/Log.h"

BufferedReader::BufferedReader(std::size_t maxBufSize)
    : input_buffer(new char[maxBufSize > 0 ? maxBufSize : 1]),
      input_buffer_size(0),
      input_buffer_pos(0),
      file(nullptr),
      _maxBufSize(maxBufSize > 0 ? maxBufSize : 1),
      readError(false) {}

BufferedReader::~BufferedReader() {
  if (file) std::fclose(file);
  delete[] input_buffer;
}

bool BufferedReader::setFilename(const char* filename) {
  if (file) std::fclose(file);
  file = filename ? std::fopen(filename, "rb") : nullptr;
  input_buffer_size = input_buffer_pos = 0;
  readError = false;
  if (!file) return false;
  LOG_DBG(filename << " opened succesfully");
  return true;
}

bool BufferedReader::readMore() {
  input_buffer_size = input_buffer_pos = 0;
  if (!file) return false;
  std::size_t n = std::fread(input_buffer, 1, _maxBufSize, file);
  if (n == 0 && std::ferror(file)) {
    readError = true;
    LOG_ERR("read failed - " << std::strerror(errno));
    return false;
  }
  input_buffer_size = n;
  return n > 0;
}

const char* BufferedReader::getChunk(std::size_t& len) {
  len = 0;
  if (input_buffer_pos >= input_buffer_size && !readMore()) return nullptr;
  const char* chunk = input_buffer + input_buffer_pos;
  len = input_buffer_size - input_buffer_pos;
  input_buffer_pos = input_buffer_size;
  return chunk;
}

bool BufferedReader::fillBuffer() {
  if (input_buffer_pos < input_buffer_size) return true;
  return readMore();
}
