// An in-memory stream for Asio's composed reads: hands out a fixed byte
// string at most `chunk` bytes per read, then reports end of file, the way a
// socket does when the peer sends in small pieces and closes.
#pragma once

#include <algorithm>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <cstddef>
#include <vector>

namespace fuzz {

class ChunkedStream {
 public:
  using executor_type = boost::asio::any_io_executor;

  ChunkedStream(executor_type executor, const std::vector<unsigned char>& data, std::size_t chunk)
      : executor_(std::move(executor)), data_(data), chunk_(chunk) {}

  executor_type get_executor() { return executor_; }

  template <class MutableBuffers, class Token>
  auto async_read_some(const MutableBuffers& buffers, Token&& token) {
    return boost::asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
        [this](auto handler, const MutableBuffers& target) {
          boost::system::error_code ec;
          std::size_t n = 0;
          // Like a socket: an empty read succeeds at once, even at the end.
          if (boost::asio::buffer_size(target) > 0) {
            if (at_ == data_.size()) {
              ec = boost::asio::error::eof;
            } else {
              const std::size_t take = std::min(chunk_, data_.size() - at_);
              n = boost::asio::buffer_copy(target, boost::asio::buffer(data_.data() + at_, take));
              at_ += n;
            }
          }
          auto executor = boost::asio::get_associated_executor(handler, executor_);
          boost::asio::post(executor, [handler = std::move(handler), ec, n]() mutable { std::move(handler)(ec, n); });
        },
        token, buffers);
  }

 private:
  executor_type executor_;
  const std::vector<unsigned char>& data_;
  std::size_t chunk_;
  std::size_t at_ = 0;
};

}  // namespace fuzz
