#include "DOdudo/host/KHostSystem.h"

#include <ctype.h>
#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <strings.h>
#include <time.h>

void* KHostSystem::CreateLocalMutex() {
  auto* mutex = new pthread_mutex_t;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  return mutex;
}

void KHostSystem::EnterLocalMutex(void* mutex) {
  pthread_mutex_lock(static_cast<pthread_mutex_t*>(mutex));
}

int KHostSystem::LeaveLocalMutex(void* mutex) {
  return pthread_mutex_unlock(static_cast<pthread_mutex_t*>(mutex));
}

void KHostSystem::DeleteLocalMutex(void* mutex) {
  auto* m = static_cast<pthread_mutex_t*>(mutex);
  pthread_mutex_destroy(m);
  delete m;
}

void KHostSystem::Delay(unsigned int ms) {
  timespec request{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  timespec remaining{};
  while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

unsigned int KHostSystem::GetTick() {
  timespec now{};
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  return static_cast<unsigned int>(static_cast<unsigned long long>(now.tv_sec) * 1000ULL +
                                   static_cast<unsigned long long>(now.tv_nsec) / 1000000ULL);
}

char* KHostSystem::ReadLine(char* buffer, int size, FILE* file) {
  if (buffer == nullptr || size < 1) return nullptr;
  buffer[0] = '\0';
  if (file == nullptr || fgets(buffer, size, file) == nullptr) return nullptr;
  size_t length = strlen(buffer);
  if (length >= 2 && buffer[length - 2] == '\r' && buffer[length - 1] == '\n') {
    buffer[length - 2] = '\n';
    buffer[length - 1] = '\0';
  }
  return buffer;
}

int KHostSystem::StriCmp(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return (a != nullptr) - (b != nullptr);
  return strcasecmp(a, b);
}

char* KHostSystem::StrTrim(char* text) {
  if (text == nullptr) return nullptr;
  char* start = text;
  while (*start != '\0' && isspace(static_cast<unsigned char>(*start))) ++start;
  size_t length = strlen(start);
  memmove(text, start, length + 1);
  while (length > 0 && isspace(static_cast<unsigned char>(text[length - 1]))) text[--length] = '\0';
  return text;
}
