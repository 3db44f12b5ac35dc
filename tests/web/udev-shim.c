// libudev as Chromium sees it, plus the test's serial adapters. Built as libudev.so.1 and put
// first on LD_LIBRARY_PATH, it takes the place of the system's library: what it does not define
// is found in the real one, which it names by full path as its own dependency; what it defines
// hands real objects on to the real library (dlsym RTLD_NEXT).
//
// The adapters are the files in the folder PELKAR_UDEV_PORTS: a file NAME holding lines
// KEY=VALUE (DEVNAME, the path to open; ID_VENDOR_ID and ID_MODEL_ID, four hex digits;
// ID_SERIAL_SHORT) is a USB serial adapter plugged in; moving a file in is plugging one, removing
// it pulling one, which every monitor watching tty devices hears as "add" and "remove". Chromium
// keeps only ttys of a driver that /proc/tty/drivers marks serial, and a pty's is not: each
// adapter claims the major and minor of the first serial driver listed there.
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))
#define kMagic 0x70656c6b61723173ULL  // tags the shim's own objects
#define kPrefix "/sys/devices/pelkar-sim/"
#define kMaxProps 12
#define kMaxNames 32

struct udev;
struct udev_list_entry;

struct entry {  // one name of a list the shim made
  uint64_t magic;
  char *name;
  struct entry *next;
};

struct device {
  uint64_t magic;
  char *syspath, *sysname, *action;
  int props;
  char *keys[kMaxProps], *values[kMaxProps];
};

struct monitor {
  uint64_t magic;
  void *real;  // the system's monitor, if it made one
  int tty;     // it takes tty devices: no filter, or one for "tty"
  int filtered;
  int epoll, inotify, queued;  // queued: an eventfd counting the events not yet received
  char *names[kMaxNames];      // the adapters it has told as plugged
  struct device *events[kMaxNames];
  int head, count;
};

struct enumerate {
  void *real;
  int tty, filtered;
  struct entry *list;
  struct enumerate *next;
};
static struct enumerate *enumerates;

void *udev_monitor_unref(void *monitor);
int udev_monitor_get_fd(void *monitor);

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static int Ours(const void *object) {
  return object != NULL && *(const uint64_t *)object == kMagic;
}

static const char *Folder(void) {
  return getenv("PELKAR_UDEV_PORTS");
}

// The major and minor of the first driver /proc/tty/drivers marks serial.
static void SerialNumbers(char *major, char *minor) {
  strcpy(major, "4");
  strcpy(minor, "64");
  FILE *drivers = fopen("/proc/tty/drivers", "r");
  if (drivers == NULL) return;
  char line[256], name[64], node[64], type[64], major_text[16], minors[32];
  while (fgets(line, sizeof line, drivers) != NULL) {
    if (sscanf(line, "%63s %63s %15s %31s %63s", name, node, major_text, minors, type) == 5 &&
        strcmp(type, "serial") == 0) {
      strcpy(major, major_text);
      minors[strcspn(minors, "-")] = '\0';
      strcpy(minor, minors);
      break;
    }
  }
  fclose(drivers);
}

static void AddProp(struct device *device, const char *key, const char *value) {
  if (device->props == kMaxProps) return;
  device->keys[device->props] = strdup(key);
  device->values[device->props++] = strdup(value);
}

static struct device *NewDevice(const char *name, const char *action) {
  struct device *device = calloc(1, sizeof *device);
  device->magic = kMagic;
  if (asprintf(&device->syspath, "%s%s/tty/%s", kPrefix, name, name) < 0) device->syspath = NULL;
  device->sysname = strdup(name);
  device->action = strdup(action);
  AddProp(device, "SUBSYSTEM", "tty");
  return device;
}

// The adapter NAME as its file describes it, or NULL when it is not plugged.
static struct device *ReadDevice(const char *name, const char *action) {
  char path[4096];
  if (Folder() == NULL || name[0] == '.' || strchr(name, '/') != NULL) return NULL;
  snprintf(path, sizeof path, "%s/%s", Folder(), name);
  FILE *file = fopen(path, "r");
  if (file == NULL) return NULL;
  struct device *device = NewDevice(name, action);
  char major[16], minor[32], line[1024];
  SerialNumbers(major, minor);
  AddProp(device, "MAJOR", major);
  AddProp(device, "MINOR", minor);
  AddProp(device, "ID_BUS", "usb");
  while (fgets(line, sizeof line, file) != NULL) {
    line[strcspn(line, "\r\n")] = '\0';
    char *equals = strchr(line, '=');
    if (equals == NULL) continue;
    *equals = '\0';
    AddProp(device, line, equals + 1);
  }
  fclose(file);
  return device;
}

static void FreeDevice(struct device *device) {
  for (int i = 0; i < device->props; ++i) {
    free(device->keys[i]);
    free(device->values[i]);
  }
  free(device->syspath);
  free(device->sysname);
  free(device->action);
  free(device);
}

// --- Devices ------------------------------------------------------------------------------

EXPORT const char *udev_device_get_property_value(void *device, const char *key) {
  if (!Ours(device)) return REAL(udev_device_get_property_value)(device, key);
  struct device *ours = device;
  for (int i = 0; i < ours->props; ++i) {
    if (strcmp(ours->keys[i], key) == 0) return ours->values[i];
  }
  return NULL;
}
EXPORT const char *udev_device_get_syspath(void *device) {
  return Ours(device) ? ((struct device *)device)->syspath
                      : REAL(udev_device_get_syspath)(device);
}
EXPORT const char *udev_device_get_sysname(void *device) {
  return Ours(device) ? ((struct device *)device)->sysname
                      : REAL(udev_device_get_sysname)(device);
}
EXPORT const char *udev_device_get_action(void *device) {
  return Ours(device) ? ((struct device *)device)->action : REAL(udev_device_get_action)(device);
}
EXPORT const char *udev_device_get_subsystem(void *device) {
  return Ours(device) ? "tty" : REAL(udev_device_get_subsystem)(device);
}
EXPORT const char *udev_device_get_devnode(void *device) {
  return Ours(device) ? udev_device_get_property_value(device, "DEVNAME")
                      : REAL(udev_device_get_devnode)(device);
}
EXPORT const char *udev_device_get_devtype(void *device) {
  return Ours(device) ? NULL : REAL(udev_device_get_devtype)(device);
}
EXPORT const char *udev_device_get_driver(void *device) {
  return Ours(device) ? NULL : REAL(udev_device_get_driver)(device);
}
EXPORT const char *udev_device_get_sysattr_value(void *device, const char *name) {
  return Ours(device) ? NULL : REAL(udev_device_get_sysattr_value)(device, name);
}
EXPORT void *udev_device_get_parent(void *device) {
  return Ours(device) ? NULL : REAL(udev_device_get_parent)(device);
}
EXPORT void *udev_device_get_parent_with_subsystem_devtype(void *device, const char *subsystem,
                                                           const char *devtype) {
  return Ours(device) ? NULL
                      : REAL(udev_device_get_parent_with_subsystem_devtype)(device, subsystem,
                                                                            devtype);
}
EXPORT struct udev_list_entry *udev_device_get_properties_list_entry(void *device) {
  return Ours(device) ? NULL : REAL(udev_device_get_properties_list_entry)(device);
}
EXPORT void *udev_device_unref(void *device) {
  if (!Ours(device)) return REAL(udev_device_unref)(device);
  FreeDevice(device);
  return NULL;
}
EXPORT void *udev_device_new_from_syspath(struct udev *udev, const char *syspath) {
  if (strncmp(syspath, kPrefix, strlen(kPrefix)) != 0) {
    return REAL(udev_device_new_from_syspath)(udev, syspath);
  }
  char name[256];
  snprintf(name, sizeof name, "%s", syspath + strlen(kPrefix));
  name[strcspn(name, "/")] = '\0';
  return ReadDevice(name, "add");
}

// --- Lists and enumeration ----------------------------------------------------------------

EXPORT struct udev_list_entry *udev_list_entry_get_next(struct udev_list_entry *entry) {
  return Ours(entry) ? (struct udev_list_entry *)((struct entry *)entry)->next
                     : REAL(udev_list_entry_get_next)(entry);
}
EXPORT const char *udev_list_entry_get_name(struct udev_list_entry *entry) {
  return Ours(entry) ? ((struct entry *)entry)->name : REAL(udev_list_entry_get_name)(entry);
}

static struct enumerate *FindEnumerate(void *real) {
  for (struct enumerate *e = enumerates; e != NULL; e = e->next) {
    if (e->real == real) return e;
  }
  return NULL;
}

EXPORT void *udev_enumerate_new(struct udev *udev) {
  void *real = REAL(udev_enumerate_new)(udev);
  if (real == NULL) return NULL;
  struct enumerate *e = calloc(1, sizeof *e);
  e->real = real;
  e->tty = 1;
  e->next = enumerates;
  enumerates = e;
  return real;
}
EXPORT int udev_enumerate_add_match_subsystem(void *enumerate, const char *subsystem) {
  struct enumerate *e = FindEnumerate(enumerate);
  if (e != NULL) {
    if (!e->filtered) e->tty = 0;
    e->filtered = 1;
    if (subsystem != NULL && strcmp(subsystem, "tty") == 0) e->tty = 1;
  }
  return REAL(udev_enumerate_add_match_subsystem)(enumerate, subsystem);
}
static struct entry *Append(struct entry **tail_link, const char *name) {
  struct entry *entry = calloc(1, sizeof *entry);
  entry->magic = kMagic;
  entry->name = strdup(name);
  *tail_link = entry;
  return entry;
}

// The system's devices, then the adapters plugged in.
EXPORT struct udev_list_entry *udev_enumerate_get_list_entry(void *enumerate) {
  struct enumerate *e = FindEnumerate(enumerate);
  struct udev_list_entry *real = REAL(udev_enumerate_get_list_entry)(enumerate);
  if (e == NULL || !e->tty || Folder() == NULL) return real;
  if (e->list != NULL) return (struct udev_list_entry *)e->list;
  struct entry **link = &e->list;
  for (struct udev_list_entry *i = real; i != NULL; i = REAL(udev_list_entry_get_next)(i)) {
    link = &Append(link, REAL(udev_list_entry_get_name)(i))->next;
  }
  DIR *dir = opendir(Folder());
  for (struct dirent *file; dir != NULL && (file = readdir(dir)) != NULL;) {
    if (file->d_name[0] == '.') continue;
    char path[1024];
    snprintf(path, sizeof path, "%s%s/tty/%s", kPrefix, file->d_name, file->d_name);
    link = &Append(link, path)->next;
  }
  if (dir != NULL) closedir(dir);
  return (struct udev_list_entry *)e->list;
}
EXPORT void *udev_enumerate_unref(void *enumerate) {
  for (struct enumerate **link = &enumerates; *link != NULL; link = &(*link)->next) {
    struct enumerate *e = *link;
    if (e->real != enumerate) continue;
    *link = e->next;
    for (struct entry *entry = e->list, *next; entry != NULL; entry = next) {
      next = entry->next;
      free(entry->name);
      free(entry);
    }
    free(e);
    break;
  }
  return REAL(udev_enumerate_unref)(enumerate);
}

// --- Monitors -----------------------------------------------------------------------------

EXPORT void *udev_monitor_new_from_netlink(struct udev *udev, const char *name) {
  struct monitor *m = calloc(1, sizeof *m);
  m->magic = kMagic;
  m->real = REAL(udev_monitor_new_from_netlink)(udev, name);
  m->tty = 1;
  m->epoll = m->inotify = m->queued = -1;
  return m;
}
EXPORT int udev_monitor_filter_add_match_subsystem_devtype(void *monitor, const char *subsystem,
                                                           const char *devtype) {
  struct monitor *m = monitor;
  if (!m->filtered) m->tty = 0;
  m->filtered = 1;
  if (subsystem != NULL && strcmp(subsystem, "tty") == 0) m->tty = 1;
  return m->real == NULL ? 0
                         : REAL(udev_monitor_filter_add_match_subsystem_devtype)(m->real,
                                                                                 subsystem,
                                                                                 devtype);
}

static int Known(struct monitor *m, const char *name) {
  for (int i = 0; i < kMaxNames; ++i) {
    if (m->names[i] != NULL && strcmp(m->names[i], name) == 0) return i;
  }
  return -1;
}

static void Queue(struct monitor *m, struct device *device) {
  if (device == NULL || m->count == kMaxNames) {
    if (device != NULL) FreeDevice(device);
    return;
  }
  m->events[(m->head + m->count++) % kMaxNames] = device;
  uint64_t one = 1;
  if (write(m->queued, &one, sizeof one) != sizeof one) return;
}

EXPORT int udev_monitor_enable_receiving(void *monitor) {
  struct monitor *m = monitor;
  if (m->real != NULL && REAL(udev_monitor_enable_receiving)(m->real) != 0) {
    REAL(udev_monitor_unref)(m->real);
    m->real = NULL;  // the test's adapters are heard all the same
  }
  m->epoll = epoll_create1(EPOLL_CLOEXEC);
  m->queued = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
  struct epoll_event readable = {.events = EPOLLIN};
  epoll_ctl(m->epoll, EPOLL_CTL_ADD, m->queued, &readable);
  if (m->real != NULL) {
    epoll_ctl(m->epoll, EPOLL_CTL_ADD, REAL(udev_monitor_get_fd)(m->real), &readable);
  }
  if (m->tty && Folder() != NULL) {
    m->inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    inotify_add_watch(m->inotify, Folder(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE |
                                                IN_MOVED_FROM);
    epoll_ctl(m->epoll, EPOLL_CTL_ADD, m->inotify, &readable);
    // What is plugged in now is enumerated, not heard.
    DIR *dir = opendir(Folder());
    int at = 0;
    for (struct dirent *file; dir != NULL && (file = readdir(dir)) != NULL && at < kMaxNames;) {
      if (file->d_name[0] != '.') m->names[at++] = strdup(file->d_name);
    }
    if (dir != NULL) closedir(dir);
  }
  return 0;
}
EXPORT int udev_monitor_get_fd(void *monitor) {
  return ((struct monitor *)monitor)->epoll;
}

// Turns the folder's changes into events.
static void Hear(struct monitor *m) {
  char buffer[4096] __attribute__((aligned(__alignof__(struct inotify_event))));
  ssize_t size;
  while (m->inotify >= 0 && (size = read(m->inotify, buffer, sizeof buffer)) > 0) {
    for (char *at = buffer; at < buffer + size;) {
      const struct inotify_event *event = (const struct inotify_event *)at;
      at += sizeof *event + event->len;
      if (event->len == 0 || event->name[0] == '.') continue;
      const int known = Known(m, event->name);
      if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
        if (known < 0) continue;
        free(m->names[known]);
        m->names[known] = NULL;
        Queue(m, NewDevice(event->name, "remove"));
      } else if (known < 0) {
        struct device *device = ReadDevice(event->name, "add");
        if (device == NULL) continue;
        for (int i = 0; i < kMaxNames; ++i) {
          if (m->names[i] == NULL) {
            m->names[i] = strdup(event->name);
            break;
          }
        }
        Queue(m, device);
      }
    }
  }
}

EXPORT void *udev_monitor_receive_device(void *monitor) {
  struct monitor *m = monitor;
  Hear(m);
  uint64_t one;
  if (m->count > 0 && read(m->queued, &one, sizeof one) == sizeof one) {
    struct device *device = m->events[m->head];
    m->head = (m->head + 1) % kMaxNames;
    --m->count;
    return device;
  }
  return m->real == NULL ? NULL : REAL(udev_monitor_receive_device)(m->real);
}
EXPORT void *udev_monitor_unref(void *monitor) {
  struct monitor *m = monitor;
  if (m == NULL) return NULL;
  if (m->real != NULL) REAL(udev_monitor_unref)(m->real);
  for (int i = 0; i < kMaxNames; ++i) free(m->names[i]);
  while (m->count > 0) {
    FreeDevice(m->events[m->head]);
    m->head = (m->head + 1) % kMaxNames;
    --m->count;
  }
  if (m->inotify >= 0) close(m->inotify);
  if (m->queued >= 0) close(m->queued);
  if (m->epoll >= 0) close(m->epoll);
  free(m);
  return NULL;
}
