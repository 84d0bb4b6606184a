// Thread-safe list of collector ids waiting to be dropped.
#pragma once

#include <pthread.h>

#include <list>

// Every operation locks the list's own mutex for its duration only.
class DeleteList {
 public:
  DeleteList();
  DeleteList(const DeleteList&) = delete;
  DeleteList& operator=(const DeleteList&) = delete;
  virtual ~DeleteList();

  // Appends id, even when it is already present.
  void push(unsigned long long id);
  bool find(unsigned long long id);
  // Removes the first occurrence; false when id is absent.
  bool erase(unsigned long long id);
  // Removes every occurrence.
  void eraseAll(unsigned long long id);
  bool empty();
  int size();
  // Writes " <id>" for each id, then a newline, to std::cout.
  void show();

 private:
  std::list<unsigned long long> list;  // guarded by mutex
  pthread_mutex_t mutex;               // guards list
};
