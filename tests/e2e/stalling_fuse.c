// A FUSE file system that stops answering, for the tests of walks that
// must never wait on a mount they do not enter. It mounts an empty
// directory (or, with -f, a regular file, empty unless -z gives its size in
// bytes, all zero) at MOUNTPOINT and answers
// the kernel's requests itself, except those named by -s, which it reads
// and never answers, as a daemon that hangs or a server that went away
// would. Root only (it mounts through mount(2)); run it in a private mount
// namespace so that the mount goes away with the test.
//
//   stalling_fuse [-f] [-z SIZE] [-s OP[,OP...]] MOUNTPOINT
//
// OP is one of all, getattr, lookup, opendir, readdir, statfs, open, read.
// "all" answers nothing after INIT. The program prints "ready" on stdout
// once the mount is in place, and serves until it is killed.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/fuse.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

static const struct {
  const char* name;
  uint32_t opcode;
} kOps[] = {
    {"getattr", FUSE_GETATTR}, {"lookup", FUSE_LOOKUP}, {"opendir", FUSE_OPENDIR}, {"readdir", FUSE_READDIR},
    {"statfs", FUSE_STATFS},   {"open", FUSE_OPEN},     {"read", FUSE_READ},
};

static int g_fd;
static int g_stall_all;
static uint32_t g_stalled[16];
static int g_stalled_count;
static uint32_t g_root_mode = S_IFDIR | 0755;
static uint64_t g_file_size;

static int stalled(uint32_t opcode) {
  if (g_stall_all && opcode != FUSE_INIT) return 1;
  for (int i = 0; i < g_stalled_count; ++i) {
    if (g_stalled[i] == opcode) return 1;
  }
  return 0;
}

static void reply(uint64_t unique, int error, const void* body, size_t size) {
  char buffer[sizeof(struct fuse_out_header) + 4096];
  struct fuse_out_header* out = (struct fuse_out_header*)buffer;
  if (size > 4096) size = 4096;
  out->unique = unique;
  out->error = -error;
  out->len = (uint32_t)(sizeof *out + (error == 0 ? size : 0));
  if (error == 0 && size > 0) memcpy(buffer + sizeof *out, body, size);
  (void)!write(g_fd, buffer, out->len);
}

static void root_attr(struct fuse_attr* attr) {
  memset(attr, 0, sizeof *attr);
  attr->ino = FUSE_ROOT_ID;
  attr->mode = g_root_mode;
  attr->nlink = S_ISDIR(g_root_mode) ? 2 : 1;
  attr->size = S_ISDIR(g_root_mode) ? 0 : g_file_size;
  attr->blocks = (attr->size + 511) / 512;
  attr->blksize = 4096;
}

static void serve(const struct fuse_in_header* in, const char* body) {
  switch (in->opcode) {
    case FUSE_INIT: {
      const struct fuse_init_in* init = (const struct fuse_init_in*)body;
      struct fuse_init_out out;
      memset(&out, 0, sizeof out);
      out.major = FUSE_KERNEL_VERSION;
      out.minor = init->minor < FUSE_KERNEL_MINOR_VERSION ? init->minor : FUSE_KERNEL_MINOR_VERSION;
      out.max_readahead = init->max_readahead;
      out.max_write = 4096;
      out.max_background = 16;
      out.congestion_threshold = 12;
      reply(in->unique, 0, &out, sizeof out);
      return;
    }
    case FUSE_GETATTR: {
      struct fuse_attr_out out;
      memset(&out, 0, sizeof out);
      root_attr(&out.attr);
      reply(in->unique, 0, &out, sizeof out);
      return;
    }
    case FUSE_OPENDIR:
    case FUSE_OPEN: {
      struct fuse_open_out out;
      memset(&out, 0, sizeof out);
      reply(in->unique, 0, &out, sizeof out);
      return;
    }
    case FUSE_READDIR:
      reply(in->unique, 0, NULL, 0);  // empty: no entries
      return;
    case FUSE_READ: {
      const struct fuse_read_in* read_in = (const struct fuse_read_in*)body;
      static const char zeros[4096];
      uint64_t left = read_in->offset < g_file_size ? g_file_size - read_in->offset : 0;
      size_t size = read_in->size < left ? read_in->size : (size_t)left;
      reply(in->unique, 0, zeros, size);  // at most 4096: a short read, which the reader repeats
      return;
    }
    case FUSE_STATFS: {
      struct fuse_statfs_out out;
      memset(&out, 0, sizeof out);
      out.st.bsize = out.st.frsize = 4096;
      out.st.namelen = 255;
      reply(in->unique, 0, &out, sizeof out);
      return;
    }
    case FUSE_FORGET:
    case FUSE_BATCH_FORGET:
      return;  // never answered, by the protocol
    case FUSE_RELEASE:
    case FUSE_RELEASEDIR:
    case FUSE_FLUSH:
      reply(in->unique, 0, NULL, 0);
      return;
    default:
      reply(in->unique, in->opcode == FUSE_LOOKUP ? ENOENT : ENOSYS, NULL, 0);
      return;
  }
}

static void add_stalled(char* list) {
  for (char* op = strtok(list, ","); op != NULL; op = strtok(NULL, ",")) {
    if (strcmp(op, "all") == 0) {
      g_stall_all = 1;
      continue;
    }
    size_t i = 0;
    while (i < sizeof kOps / sizeof kOps[0] && strcmp(kOps[i].name, op) != 0) ++i;
    if (i == sizeof kOps / sizeof kOps[0] || g_stalled_count == 16) {
      fprintf(stderr, "stalling_fuse: unknown operation %s\n", op);
      exit(2);
    }
    g_stalled[g_stalled_count++] = kOps[i].opcode;
  }
}

int main(int argc, char** argv) {
  int opt;
  while ((opt = getopt(argc, argv, "fz:s:")) != -1) {
    if (opt == 'f') {
      g_root_mode = S_IFREG | 0644;
    } else if (opt == 'z') {
      g_file_size = strtoull(optarg, NULL, 10);
    } else if (opt == 's') {
      add_stalled(optarg);
    } else {
      fprintf(stderr, "usage: stalling_fuse [-f] [-z SIZE] [-s OP[,OP...]] MOUNTPOINT\n");
      return 2;
    }
  }
  if (optind + 1 != argc) {
    fprintf(stderr, "usage: stalling_fuse [-f] [-z SIZE] [-s OP[,OP...]] MOUNTPOINT\n");
    return 2;
  }
  g_fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (g_fd < 0) {
    perror("stalling_fuse: /dev/fuse");
    return 1;
  }
  char options[128];
  snprintf(options, sizeof options, "fd=%d,rootmode=%o,user_id=0,group_id=0,allow_other", g_fd,
           (unsigned)(g_root_mode & S_IFMT));
  if (mount("stalling", argv[optind], "fuse.stalling", MS_NOSUID | MS_NODEV, options) != 0) {
    perror("stalling_fuse: mount");
    return 1;
  }
  printf("ready\n");
  fflush(stdout);
  // Large enough for any request the kernel sends (it refuses smaller).
  static char buffer[1 << 20];
  for (;;) {
    ssize_t got = read(g_fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return errno == ENODEV ? 0 : 1;  // ENODEV: unmounted
    }
    if ((size_t)got < sizeof(struct fuse_in_header)) continue;
    const struct fuse_in_header* in = (const struct fuse_in_header*)buffer;
    if (stalled(in->opcode)) continue;  // read, and never answered
    serve(in, buffer + sizeof *in);
  }
}
