#pragma once
// Reads a file in chunks through one buffer of fixed size, allocated once.
// A failed read is reported as an error, apart from the end of the file.

#include <cstddef>
#include <cstdio>

class BufferedReader {
 public:
  static const std::size_t DEFAULT_BUFFER_SIZE = 256000;

  explicit BufferedReader(std::size_t maxBufSize = DEFAULT_BUFFER_SIZE);
  ~BufferedReader();
  BufferedReader(const BufferedReader&) = delete;
  BufferedReader& operator=(const BufferedReader&) = delete;

  bool setFilename(const char* filename);
  // The unconsumed bytes, or the next read of up to the buffer size; null with
  // len 0 at the end of the file or on a read error (then hasError()).
  const char* getChunk(std::size_t& len);
  // True when bytes wait in the buffer or a read brought some.
  bool fillBuffer();
  bool hasError() const { return readError; }

 private:
  bool readMore();

  char* input_buffer;
  std::size_t input_buffer_size;
  std::size_t input_buffer_pos;
  std::FILE* file;
  std::size_t _maxBufSize;
  bool readError;
};
