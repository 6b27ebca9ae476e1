// The configuration manager of the older platform (its device-node services): device nodes under
// a root, each with logical configurations of resource descriptors, an enumerator handler and a
// hardware registry key. One exists per kernel; the system (a test, the host) creates it, and a
// driver reaches it through ConfigManager::Of.
//
// Values of a device node's hardware key are those the installer wrote for its device identifier
// (HardwareKey); they are kept in the kernel's registry, so a test can set them before the node
// exists. Every service can be made to fail, and a device node removed twice is counted.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "driver/platform/kernel.h"

namespace vm::drv {

using DEVNODE = std::uint32_t;
using LOG_CONF = std::uint32_t;
using CONFIGRET = std::uint32_t;

inline constexpr CONFIGRET CR_SUCCESS = 0x00;
inline constexpr CONFIGRET CR_DEFAULT = 0x01;
inline constexpr CONFIGRET CR_OUT_OF_MEMORY = 0x02;
inline constexpr CONFIGRET CR_INVALID_DEVNODE = 0x05;
inline constexpr CONFIGRET CR_INVALID_LOG_CONF = 0x07;
inline constexpr CONFIGRET CR_ALREADY_SUCH_DEVNODE = 0x10;
inline constexpr CONFIGRET CR_FAILURE = 0x13;
inline constexpr CONFIGRET CR_BUFFER_SMALL = 0x1A;
inline constexpr CONFIGRET CR_NO_SUCH_VALUE = 0x25;

inline constexpr std::uint32_t BASIC_LOG_CONF = 0;
inline constexpr std::uint32_t ResType_IO = 2;

// An enumerator's handler: configuration function, the node it is sent to, the node it is about,
// the reference data given at registration, flags.
using CMEnumHandler = CONFIGRET (*)(std::uint32_t function, DEVNODE to, DEVNODE about,
                                    void* refData, std::uint32_t flags);

class ConfigManager {
public:
    explicit ConfigManager(Kernel& kernel);
    ~ConfigManager();
    ConfigManager(const ConfigManager&) = delete;
    ConfigManager& operator=(const ConfigManager&) = delete;

    // The configuration manager of a kernel; null when the system has none.
    static ConfigManager* Of(Kernel& kernel);

    // --- Services.
    CONFIGRET LocateRoot(DEVNODE* root);
    // A second node with the same identifier: CR_ALREADY_SUCH_DEVNODE.
    CONFIGRET CreateDevNode(DEVNODE* node, const std::string& deviceId, DEVNODE parent);
    CONFIGRET AddEmptyLogConf(LOG_CONF* logConf, DEVNODE node, std::uint32_t priority,
                              std::uint32_t flags);
    CONFIGRET AddResDes(LOG_CONF logConf, std::uint32_t resourceType, const void* data,
                        std::uint32_t size);
    CONFIGRET RegisterEnumerator(DEVNODE node, CMEnumHandler handler, std::uint32_t flags);
    // Reads a value of the node's hardware key: with a null buffer the size only; a buffer
    // shorter than the value gets CR_BUFFER_SMALL and the size needed.
    CONFIGRET ReadRegistryValue(DEVNODE node, const std::string& name, void* buffer,
                                std::uint32_t* length);
    // Removes the node (and what hangs below it); an unknown node is CR_INVALID_DEVNODE.
    CONFIGRET RemoveSubTree(DEVNODE node);

    // --- The system's view.
    enum class Call {
        LocateRoot,
        CreateDevNode,
        AddEmptyLogConf,
        AddResDes,
        RegisterEnumerator,
        ReadRegistryValue,
        RemoveSubTree,
    };
    // The next `times` calls of the service fail with CR_FAILURE.
    void FailNext(Call call, int times = 1);
    static std::string HardwareKey(const std::string& deviceId);

    struct ResDes {
        std::uint32_t type;
        std::vector<std::uint8_t> data;
    };
    struct LogConf {
        std::uint32_t priority;
        std::uint32_t flags;
        std::vector<ResDes> resources;
    };
    struct Node {
        std::string id;
        DEVNODE parent = 0;
        std::vector<LogConf> logConfs;
        CMEnumHandler enumerator = nullptr;
        std::uint32_t enumeratorFlags = 0;
    };
    // Device nodes by identifier (the root left out).
    std::map<std::string, Node> Nodes() const;
    std::size_t InvalidRemovals() const;

private:
    bool Fails(Call call) REQUIRES(mutex_);
    Kernel& kernel_;
    mutable Mutex mutex_;
    DEVNODE next_ GUARDED_BY(mutex_) = 2;
    std::map<DEVNODE, Node> nodes_ GUARDED_BY(mutex_);
    std::map<LOG_CONF, std::pair<DEVNODE, std::size_t>> logConfs_ GUARDED_BY(mutex_);
    LOG_CONF nextLogConf_ GUARDED_BY(mutex_) = 1;
    std::map<Call, int> failures_ GUARDED_BY(mutex_);
    std::size_t invalidRemovals_ GUARDED_BY(mutex_) = 0;
};

inline constexpr DEVNODE kRootDevNode = 1;

}  // namespace vm::drv
