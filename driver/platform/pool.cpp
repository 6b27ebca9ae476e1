// The tagged pool (allocation failures and leaks a test can see) and the registry.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "driver/platform/kernel.h"

namespace vm::drv {

std::string PoolTagName(std::uint32_t tag) {
    std::string name(4, ' ');
    for (int i = 0; i < 4; ++i) name[i] = static_cast<char>((tag >> (8 * i)) & 0xFF);
    return name;
}

Pool::~Pool() {
    for (auto& [block, info] : blocks_) std::free(const_cast<void*>(block));
}

void* Pool::Allocate(std::size_t bytes, std::uint32_t tag) {
    MutexLock lock(mutex_);
    if (suspended_.load() == 0 && (failTag_ == 0 || failTag_ == tag)) {
        if (failSkip_ > 0) {
            --failSkip_;
        } else if (failCount_ > 0) {
            if (failCount_ != SIZE_MAX) --failCount_;
            ++failedAllocations_;
            return nullptr;
        }
    }
    void* block = std::malloc(std::max<std::size_t>(bytes, 1));
    if (!block) return nullptr;
    std::memset(block, 0xA5, std::max<std::size_t>(bytes, 1));
    blocks_[block] = Block{tag, bytes, suspended_.load() != 0};
    return block;
}

void Pool::Free(void* block) {
    MutexLock lock(mutex_);
    auto it = blocks_.find(block);
    if (it == blocks_.end()) {
        ++badFrees_;
        return;
    }
    blocks_.erase(it);
    std::free(block);
}

void Pool::FailAfter(std::size_t successes, std::size_t failures, std::uint32_t tag) {
    MutexLock lock(mutex_);
    failSkip_ = successes;
    failCount_ = failures;
    failTag_ = tag;
}

void Pool::StopFailing() {
    FailAfter(0, 0, 0);
}

std::vector<Pool::Block> Pool::Outstanding() const {
    MutexLock lock(mutex_);
    std::vector<Block> result;
    for (const auto& [block, info] : blocks_) {
        if (!info.system) result.push_back(info);
    }
    return result;
}

std::size_t Pool::OutstandingCount(std::uint32_t tag) const {
    MutexLock lock(mutex_);
    return static_cast<std::size_t>(std::count_if(blocks_.begin(), blocks_.end(), [&](auto& b) {
        return !b.second.system && (tag == 0 || b.second.tag == tag);
    }));
}

std::string Pool::LeakReport() const {
    std::string report;
    for (const Block& block : Outstanding()) {
        report += "leaked '" + PoolTagName(block.tag) + "' block of " +
                  std::to_string(block.bytes) + " bytes\n";
    }
    return report;
}

std::size_t Pool::BadFrees() const {
    MutexLock lock(mutex_);
    return badFrees_;
}

std::size_t Pool::FailedAllocations() const {
    MutexLock lock(mutex_);
    return failedAllocations_;
}

bool Pool::IsOutstanding(const void* block) const {
    MutexLock lock(mutex_);
    return blocks_.count(block) != 0;
}

// ---------------------------------------------------------------------------------------------
NTSTATUS Registry::SetDword(const std::string& key, const std::string& name, std::uint32_t value) {
    RegValue v{RegType::Dword, std::vector<std::uint8_t>(4)};
    for (int i = 0; i < 4; ++i) v.data[i] = static_cast<std::uint8_t>(value >> (8 * i));
    return SetValue(key, name, std::move(v));
}

NTSTATUS Registry::SetString(const std::string& key, const std::string& name,
                             const std::string& value) {
    RegValue v{RegType::Sz, std::vector<std::uint8_t>(value.begin(), value.end())};
    v.data.push_back(0);
    return SetValue(key, name, std::move(v));
}

bool Registry::Fails() {
    if (failSkip_ > 0) {
        --failSkip_;
        return false;
    }
    if (failCount_ == 0) return false;
    if (failCount_ != SIZE_MAX) --failCount_;
    return true;
}

void Registry::FailAfter(std::size_t successes, std::size_t failures) {
    MutexLock lock(mutex_);
    failSkip_ = successes;
    failCount_ = failures;
}

NTSTATUS Registry::SetValue(const std::string& key, const std::string& name, RegValue value) {
    MutexLock lock(mutex_);
    if (Fails()) return STATUS_INSUFFICIENT_RESOURCES;
    keys_[key][name] = std::move(value);
    return STATUS_SUCCESS;
}

std::vector<std::string> Registry::AllValues() const {
    MutexLock lock(mutex_);
    std::vector<std::string> all;
    for (const auto& [key, values] : keys_) {
        for (const auto& [name, value] : values) all.push_back(key + "\\" + name);
    }
    return all;
}

std::optional<RegValue> Registry::QueryValue(const std::string& key,
                                             const std::string& name) const {
    MutexLock lock(mutex_);
    auto k = keys_.find(key);
    if (k == keys_.end()) return std::nullopt;
    auto v = k->second.find(name);
    if (v == k->second.end()) return std::nullopt;
    return v->second;
}

std::optional<std::uint32_t> Registry::QueryDword(const std::string& key,
                                                  const std::string& name) const {
    auto v = QueryValue(key, name);
    if (!v || v->type != RegType::Dword || v->data.size() != 4) return std::nullopt;
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(v->data[i]) << (8 * i);
    return value;
}

std::optional<std::string> Registry::QueryString(const std::string& key,
                                                 const std::string& name) const {
    auto v = QueryValue(key, name);
    if (!v || v->type != RegType::Sz) return std::nullopt;
    std::string text(v->data.begin(), v->data.end());
    if (auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    return text;
}

bool Registry::DeleteValue(const std::string& key, const std::string& name) {
    MutexLock lock(mutex_);
    if (Fails()) return false;
    auto k = keys_.find(key);
    return k != keys_.end() && k->second.erase(name) != 0;
}

std::map<std::string, RegValue> Registry::Values(const std::string& key) const {
    MutexLock lock(mutex_);
    auto k = keys_.find(key);
    return k == keys_.end() ? std::map<std::string, RegValue>{} : k->second;
}

}  // namespace vm::drv
