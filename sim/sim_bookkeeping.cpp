// Which descriptors are open on the device and which mappings came from it,
// so that only the device's own calls are traced, faulted and counted.
#include "sim_internal.h"

namespace varnik::sim {

namespace {

const size_t kMaxDescriptors = 1024;
const size_t kMaxMappings = 1024;

int g_descriptors[kMaxDescriptors];
size_t g_descriptor_count;

struct Mapping {
  uintptr_t start;
  size_t length;
  uint64_t offset;
};
Mapping g_mappings[kMaxMappings];
size_t g_mapping_count;

long DescriptorIndex(int fd) {
  for (size_t i = 0; i < g_descriptor_count; ++i)
    if (g_descriptors[i] == fd) return static_cast<long>(i);
  return -1;
}

long MappingIndex(uintptr_t start) {
  for (size_t i = 0; i < g_mapping_count; ++i)
    if (g_mappings[i].start == start) return static_cast<long>(i);
  return -1;
}

void RemoveMapping(size_t index) { g_mappings[index] = g_mappings[--g_mapping_count]; }

// Any mapping we still list inside a range the kernel has just handed out
// again was replaced behind our back (MAP_FIXED): forget it.
void ForgetOverlappingMappings(uintptr_t start, size_t length) {
  for (size_t i = 0; i < g_mapping_count;) {
    const Mapping &m = g_mappings[i];
    if (m.start < start + length && start < m.start + m.length)
      RemoveMapping(i);
    else
      ++i;
  }
}

}  // namespace

bool IsDeviceDescriptor(int fd) { return DescriptorIndex(fd) >= 0; }

bool RecordDescriptor(int fd) {
  if (g_descriptor_count == kMaxDescriptors) return false;
  g_descriptors[g_descriptor_count++] = fd;
  return true;
}

void ForgetDescriptor(int fd) {
  long index = DescriptorIndex(fd);
  if (index >= 0) g_descriptors[index] = g_descriptors[--g_descriptor_count];
}

size_t DescriptorCount() { return g_descriptor_count; }

bool MappingTableFull() { return g_mapping_count == kMaxMappings; }

void RecordMapping(uintptr_t start, size_t length, uint64_t offset) {
  ForgetOverlappingMappings(start, length);
  g_mappings[g_mapping_count++] = Mapping{start, length, offset};
}

bool FindMapping(uintptr_t start, uint64_t *offset) {
  long index = MappingIndex(start);
  if (index < 0) return false;
  *offset = g_mappings[index].offset;
  return true;
}

void ForgetMapping(uintptr_t start) {
  long index = MappingIndex(start);
  if (index >= 0) RemoveMapping(static_cast<size_t>(index));
}

size_t MappingCount() { return g_mapping_count; }

}  // namespace varnik::sim
