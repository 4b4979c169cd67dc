// The attribute list that names the only handles a child process may inherit.
#pragma once

#include <windows.h>

#include <vector>

// Without it the child would inherit every inheritable handle of the launcher, among them
// any it inherited itself: a script that starts the launcher with its output on a pipe
// would then wait for end of file until the bridge exits. Get() is null when the list
// could not be made.
class InheritedHandleList {
 public:
  explicit InheritedHandleList(const std::vector<HANDLE>& handles);
  InheritedHandleList(const InheritedHandleList&) = delete;
  InheritedHandleList& operator=(const InheritedHandleList&) = delete;
  ~InheritedHandleList();
  LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return list_; }

 private:
  std::vector<HANDLE> handles_;
  std::vector<unsigned char> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};
