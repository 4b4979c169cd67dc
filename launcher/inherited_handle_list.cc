#include "inherited_handle_list.h"

InheritedHandleList::InheritedHandleList(const std::vector<HANDLE>& handles) : handles_(handles) {
  if (handles_.empty()) return;
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  if (size == 0) return;
  storage_.resize(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
  if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
  // The list refers to handles_, which lives as long as the list.
  if (!::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                   handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
    ::DeleteProcThreadAttributeList(list);
    return;
  }
  list_ = list;
}

InheritedHandleList::~InheritedHandleList() {
  if (list_ != nullptr) ::DeleteProcThreadAttributeList(list_);
}
