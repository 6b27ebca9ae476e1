#include "driver/platform/config_manager.h"

#include <cstring>

namespace vm::drv {

namespace {
Mutex g_instancesMutex;
std::map<const Kernel*, ConfigManager*>& Instances() {
    static std::map<const Kernel*, ConfigManager*> instances;
    return instances;
}
}  // namespace

ConfigManager::ConfigManager(Kernel& kernel) : kernel_(kernel) {
    MutexLock lock(g_instancesMutex);
    Instances()[&kernel] = this;
}

ConfigManager::~ConfigManager() {
    MutexLock lock(g_instancesMutex);
    Instances().erase(&kernel_);
}

ConfigManager* ConfigManager::Of(Kernel& kernel) {
    MutexLock lock(g_instancesMutex);
    const auto it = Instances().find(&kernel);
    return it == Instances().end() ? nullptr : it->second;
}

std::string ConfigManager::HardwareKey(const std::string& deviceId) {
    return "\\Registry\\Machine\\Enum\\" + deviceId;
}

bool ConfigManager::Fails(Call call) {
    auto it = failures_.find(call);
    if (it == failures_.end() || it->second <= 0) return false;
    --it->second;
    return true;
}

void ConfigManager::FailNext(Call call, int times) {
    MutexLock lock(mutex_);
    failures_[call] = times;
}

CONFIGRET ConfigManager::LocateRoot(DEVNODE* root) {
    MutexLock lock(mutex_);
    if (Fails(Call::LocateRoot)) return CR_FAILURE;
    *root = kRootDevNode;
    return CR_SUCCESS;
}

CONFIGRET ConfigManager::CreateDevNode(DEVNODE* node, const std::string& deviceId, DEVNODE parent) {
    MutexLock lock(mutex_);
    if (Fails(Call::CreateDevNode)) return CR_FAILURE;
    if (parent != kRootDevNode && !nodes_.count(parent)) return CR_INVALID_DEVNODE;
    for (const auto& [handle, n] : nodes_) {
        if (n.id == deviceId) return CR_ALREADY_SUCH_DEVNODE;
    }
    const DEVNODE handle = next_++;
    nodes_[handle] = Node{deviceId, parent, {}, nullptr, 0};
    *node = handle;
    return CR_SUCCESS;
}

CONFIGRET ConfigManager::AddEmptyLogConf(LOG_CONF* logConf, DEVNODE node, std::uint32_t priority,
                                         std::uint32_t flags) {
    MutexLock lock(mutex_);
    if (Fails(Call::AddEmptyLogConf)) return CR_FAILURE;
    auto it = nodes_.find(node);
    if (it == nodes_.end()) return CR_INVALID_DEVNODE;
    it->second.logConfs.push_back({priority, flags, {}});
    const LOG_CONF handle = nextLogConf_++;
    logConfs_[handle] = {node, it->second.logConfs.size() - 1};
    *logConf = handle;
    return CR_SUCCESS;
}

CONFIGRET ConfigManager::AddResDes(LOG_CONF logConf, std::uint32_t type, const void* data,
                                   std::uint32_t size) {
    MutexLock lock(mutex_);
    if (Fails(Call::AddResDes)) return CR_FAILURE;
    auto it = logConfs_.find(logConf);
    if (it == logConfs_.end() || !nodes_.count(it->second.first)) return CR_INVALID_LOG_CONF;
    auto* bytes = static_cast<const std::uint8_t*>(data);
    nodes_[it->second.first].logConfs[it->second.second].resources.push_back(
        {type, std::vector<std::uint8_t>(bytes, bytes + size)});
    return CR_SUCCESS;
}

CONFIGRET ConfigManager::RegisterEnumerator(DEVNODE node, CMEnumHandler handler,
                                            std::uint32_t flags) {
    MutexLock lock(mutex_);
    if (Fails(Call::RegisterEnumerator)) return CR_FAILURE;
    auto it = nodes_.find(node);
    if (it == nodes_.end()) return CR_INVALID_DEVNODE;
    it->second.enumerator = handler;
    it->second.enumeratorFlags = flags;
    return CR_SUCCESS;
}

CONFIGRET ConfigManager::ReadRegistryValue(DEVNODE node, const std::string& name, void* buffer,
                                           std::uint32_t* length) {
    std::string id;
    {
        MutexLock lock(mutex_);
        if (Fails(Call::ReadRegistryValue)) return CR_FAILURE;
        auto it = nodes_.find(node);
        if (it == nodes_.end()) return CR_INVALID_DEVNODE;
        id = it->second.id;
    }
    const std::optional<RegValue> value = kernel_.registry().QueryValue(HardwareKey(id), name);
    if (!value) return CR_NO_SUCH_VALUE;
    const auto size = static_cast<std::uint32_t>(value->data.size());
    if (!buffer) {
        *length = size;
        return CR_SUCCESS;
    }
    if (*length < size) {
        *length = size;
        return CR_BUFFER_SMALL;
    }
    if (size) std::memcpy(buffer, value->data.data(), size);
    *length = size;
    return CR_SUCCESS;
}

CONFIGRET ConfigManager::RemoveSubTree(DEVNODE node) {
    MutexLock lock(mutex_);
    if (Fails(Call::RemoveSubTree)) return CR_FAILURE;
    if (!nodes_.count(node)) {
        ++invalidRemovals_;
        return CR_INVALID_DEVNODE;
    }
    std::vector<DEVNODE> doomed{node};
    for (std::size_t i = 0; i < doomed.size(); ++i) {
        for (const auto& [handle, n] : nodes_) {
            if (n.parent == doomed[i]) doomed.push_back(handle);
        }
    }
    for (DEVNODE d : doomed) nodes_.erase(d);
    std::erase_if(logConfs_, [&](const auto& entry)
                                 REQUIRES(mutex_) { return !nodes_.count(entry.second.first); });
    return CR_SUCCESS;
}

std::map<std::string, ConfigManager::Node> ConfigManager::Nodes() const {
    MutexLock lock(mutex_);
    std::map<std::string, Node> out;
    for (const auto& [handle, n] : nodes_) out[n.id] = n;
    return out;
}

std::size_t ConfigManager::InvalidRemovals() const {
    MutexLock lock(mutex_);
    return invalidRemovals_;
}

}  // namespace vm::drv
