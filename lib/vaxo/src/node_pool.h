#pragma once
// Storage for the send queue's texts without an allocation per text: an
// allocator whose single-object blocks come back to a free list of its
// own (up to a bound, beyond which they go back to the heap), and a byte
// string that keeps short texts inside itself.
//
// Threading: none of its own; used under the owner's lock.
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace vaxo::detail
{
  /// Blocks of one size kept for reuse; the first block freed sets the size.
  class FreeBlocks
  {
  public:
    /// Keeps at most `keep` blocks.
    explicit FreeBlocks(std::size_t keep) : keep_(keep) { blocks_.reserve(keep); }
    ~FreeBlocks()
    {
      for (void* block : blocks_)
        ::operator delete(block);
    }
    FreeBlocks(const FreeBlocks&) = delete;
    FreeBlocks& operator=(const FreeBlocks&) = delete;

    /// A kept block of `size` bytes, or nullptr.
    void* take(std::size_t size)
    {
      if (size != size_ || blocks_.empty())
        return nullptr;
      void* block = blocks_.back();
      blocks_.pop_back();
      return block;
    }
    /// Keeps `block` of `size` bytes when there is room; false otherwise.
    bool give(void* block, std::size_t size)
    {
      if (size_ == 0)
        size_ = size;
      if (size != size_ || blocks_.size() >= keep_)
        return false;
      blocks_.push_back(block);   // never grows: reserved for `keep`
      return true;
    }

  private:
    const std::size_t keep_;
    std::size_t size_ = 0;
    std::vector<void*> blocks_;
  };

  /// An allocator whose single objects are recycled through a FreeBlocks
  /// shared by its copies and rebinds (a list's nodes).
  template <class T>
  class PoolAllocator
  {
  public:
    using value_type = T;

    explicit PoolAllocator(std::shared_ptr<FreeBlocks> blocks) : blocks_(std::move(blocks)) {}
    template <class U>
    PoolAllocator(const PoolAllocator<U>& other) : blocks_(other.blocks())
    {
    }

    T* allocate(std::size_t n)
    {
      if (n == 1)
        if (void* block = blocks_->take(sizeof(T)))
          return static_cast<T*>(block);
      return static_cast<T*>(::operator new(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n)
    {
      if (n != 1 || !blocks_->give(p, sizeof(T)))
        ::operator delete(p);
    }

    const std::shared_ptr<FreeBlocks>& blocks() const { return blocks_; }

    template <class U>
    bool operator==(const PoolAllocator<U>& other) const
    {
      return blocks_ == other.blocks();
    }
    template <class U>
    bool operator!=(const PoolAllocator<U>& other) const
    {
      return blocks_ != other.blocks();
    }

  private:
    std::shared_ptr<FreeBlocks> blocks_;
  };

  /// Bytes of one text: up to kInline inside the object, longer ones on
  /// the heap.
  class TextBytes
  {
  public:
    static constexpr std::size_t kInline = 48;

    TextBytes(const char* data, std::size_t size) : size_(size)
    {
      if (size > kInline)
        heap_.reset(new char[size]);
      if (size > 0)
        std::memcpy(heap_ ? heap_.get() : inline_, data, size);
    }
    TextBytes(const TextBytes&) = delete;
    TextBytes& operator=(const TextBytes&) = delete;

    const char* data() const { return heap_ ? heap_.get() : inline_; }
    std::size_t size() const { return size_; }

  private:
    char inline_[kInline];
    std::unique_ptr<char[]> heap_;
    std::size_t size_;
  };
}
