// DeleteList: a short list, searched linearly, one lock per operation.
#include "deleteList.h"

#include <algorithm>
#include <string>

#include "log.h"
#include "mutexLock.h"

DeleteList::DeleteList() { pthread_mutex_init(&mutex, nullptr); }

DeleteList::~DeleteList() { pthread_mutex_destroy(&mutex); }

void DeleteList::push(unsigned long long id) {
  MutexLock lock(&mutex);
  list.push_back(id);
}

bool DeleteList::find(unsigned long long id) {
  MutexLock lock(&mutex);
  return std::find(list.begin(), list.end(), id) != list.end();
}

bool DeleteList::erase(unsigned long long id) {
  MutexLock lock(&mutex);
  auto position = std::find(list.begin(), list.end(), id);
  if (position == list.end()) return false;
  list.erase(position);
  return true;
}

void DeleteList::eraseAll(unsigned long long id) {
  MutexLock lock(&mutex);
  list.remove(id);
}

bool DeleteList::empty() {
  MutexLock lock(&mutex);
  return list.empty();
}

int DeleteList::size() {
  MutexLock lock(&mutex);
  return static_cast<int>(list.size());
}

void DeleteList::show() {
  std::string text;
  {
    MutexLock lock(&mutex);
    for (unsigned long long id : list) {
      text += ' ';
      text += std::to_string(id);
    }
  }
  write_raw(text + "\n");
}
