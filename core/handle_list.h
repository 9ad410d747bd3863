// Lists of objects that the host knows by handle (core/handle_pool.h). A
// handle is only ever compared with the handles of the listed objects, never
// dereferenced, so a stale or made-up handle is simply not found.
#pragma once

#include <memory>
#include <vector>

namespace kn {

// The listed object whose handle is handle; null when there is none.
template <class T>
std::shared_ptr<T> FindByHandle(const std::vector<std::shared_ptr<T>> &list, const void *handle)
{
    if (handle == nullptr) {
        return nullptr;
    }
    for (const auto &item : list) {
        if (item->Handle() == handle) {
            return item;
        }
    }
    return nullptr;
}

// Removes the listed object whose handle is handle and returns it; null
// when there is none.
template <class T>
std::shared_ptr<T> TakeByHandle(std::vector<std::shared_ptr<T>> &list, const void *handle)
{
    if (handle == nullptr) {
        return nullptr;
    }
    for (auto it = list.begin(); it != list.end(); ++it) {
        if ((*it)->Handle() == handle) {
            std::shared_ptr<T> item = std::move(*it);
            list.erase(it);
            return item;
        }
    }
    return nullptr;
}

}  // namespace kn
