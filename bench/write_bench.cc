// Writes a store of N messages with realistic sizes through the node
// database writer: a property-context-sized block per message, a 2-50 KB
// body, and on every fifth message one to three attachments (mostly tens to
// hundreds of KB, now and then up to 10 MB) streamed in bounded memory.
// Commits every --commit-every messages. Prints the time and MB/s of the
// resulting file; bench/write_bench.sh runs it beside `cp` of that file.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <span>
#include <string>

#include "bench/bench_args.h"
#include "pst/io/file.h"
#include "pst/ndb/transaction.h"

using namespace pst;
using namespace pst::ndb;

namespace {

// Content comes from a fixed buffer of random bytes, so that making it
// costs no more than copying it (as a converter copies from its source).
constexpr size_t kPool = 1 << 20;
const Bytes& Pool() {
  static const Bytes pool = [] {
    Bytes b(kPool + 64 * 1024);
    std::mt19937_64 r(7);
    for (size_t i = 0; i < b.size(); i += 8) {
      const uint64_t v = r();
      std::memcpy(&b[i], &v, 8);
    }
    return b;
  }();
  return pool;
}

void Fill(std::span<uint8_t> out, uint64_t offset, uint64_t seed) {
  const Bytes& pool = Pool();
  size_t done = 0;
  while (done < out.size()) {
    const size_t at = static_cast<size_t>((offset + done + seed) % kPool);
    const size_t n = std::min(out.size() - done, pool.size() - at);
    std::memcpy(out.data() + done, pool.data() + at, n);
    done += n;
  }
}

Bytes Payload(size_t size, uint64_t seed) {
  Bytes b(size);
  Fill(b, 0, seed);
  return b;
}

int Fail(const char* what, const Status& s) {
  std::fprintf(stderr, "write_bench: %s: %s\n", what, s.ToString().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bench::Args args(argc, argv, "write_bench", "write_bench [--ansi] [--messages N] [--commit-every K] OUT.pst");
  Format format = Format::kUnicode;
  uint64_t messages = 2000;
  uint64_t commit_every = 100;
  std::string out;
  while (!args.done()) {
    if (args.Flag("--ansi")) {
      format = Format::kAnsi;
    } else if (args.Number("--messages", messages)) {
    } else if (args.Number("--commit-every", commit_every)) {
      if (commit_every == 0) args.Refuse("--commit-every takes at least 1");
    } else if (out.empty()) {
      out = args.Operand();
    } else {
      args.Refuse("one output file only");
    }
  }
  if (out.empty()) args.Refuse("no output file given");
  auto file = io::CreateExclusive(out);
  if (!file.ok()) return Fail("create", file.status());
  const auto start = std::chrono::steady_clock::now();
  auto db = WritableDatabase::Create(std::shared_ptr<io::WritableFile>(std::move(*file)), format,
                                     CryptMethod::kPermute);
  if (!db.ok()) return Fail("create store", db.status());

  std::mt19937_64 rng(42);
  uint64_t payload = 0;
  uint64_t attachments = 0;
  std::unique_ptr<Transaction> txn;
  for (uint64_t m = 0; m < messages; ++m) {
    if (!txn) {
      auto t = (*db)->Begin();
      if (!t.ok()) return Fail("begin", t.status());
      txn = std::move(*t);
    }
    auto nid = txn->AllocateNid(kNidTypeNormalMessage);
    if (!nid.ok()) return Fail("nid", nid.status());
    std::vector<SubnodeEntry> subs;
    const size_t body = 2048 + rng() % (48 * 1024);
    auto body_bid = txn->WriteData(Payload(body, rng()));
    if (!body_bid.ok()) return Fail("body", body_bid.status());
    subs.push_back({MakeNid(kNidTypeLtp, 0x401), *body_bid, 0});
    payload += body;
    if (m % 5 == 0) {
      const int count = 1 + static_cast<int>(rng() % 3);
      for (int a = 0; a < count; ++a) {
        const uint64_t r = rng() % 100;
        const uint64_t size = r < 70 ? 20000 + rng() % 200000
                              : r < 97 ? 200000 + rng() % 1800000
                                       : 2000000 + rng() % 8000000;
        const uint64_t seed = rng();
        auto bin = txn->WriteStream(size, [&](uint64_t off, std::span<uint8_t> chunk) {
          Fill(chunk, off, seed);
          return Status::Ok();
        });
        if (!bin.ok()) return Fail("attachment", bin.status());
        auto bin_tree = txn->WriteSubnodeTree({{MakeNid(kNidTypeLtp, 0x402), *bin, 0}});
        if (!bin_tree.ok()) return Fail("attachment tree", bin_tree.status());
        auto pc = txn->WriteData(Payload(400, rng()));
        if (!pc.ok()) return Fail("attachment pc", pc.status());
        subs.push_back({MakeNid(kNidTypeAttachment, 0x401 + static_cast<uint32_t>(attachments++)),
                        *pc, *bin_tree});
        payload += size;
      }
    }
    auto tree = txn->WriteSubnodeTree(subs);
    if (!tree.ok()) return Fail("subnodes", tree.status());
    auto pc = txn->WriteData(Payload(1200 + rng() % 2000, rng()));
    if (!pc.ok()) return Fail("message pc", pc.status());
    Status s = txn->PutNode({*nid, *pc, *tree, 0x8022});
    if (!s.ok()) return Fail("put", s);
    if ((m + 1) % commit_every == 0 || m + 1 == messages) {
      s = txn->Commit();
      if (!s.ok()) return Fail("commit", s);
      txn.reset();
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const uint64_t size = (*db)->database().file().Size();
  std::printf("%s\tmessages=%llu\tattachments=%llu\tpayload_MB=%.1f\tfile_MB=%.1f\tseconds=%.3f\t"
              "MB/s=%.1f\n",
              out.c_str(), static_cast<unsigned long long>(messages), static_cast<unsigned long long>(attachments), payload / 1e6,
              size / 1e6, seconds, size / seconds / 1e6);
  return 0;
}
