// The agent key store: what is added, what is refused, what removal keeps, and the watch that
// forgets a destroyed store.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>

#include "core/keys/key_utils.h"
#include "core/keys/ssh_agent_storage.h"
#include "tests/unit/keys/key_tools.h"

namespace {

TEST(SshAgentStorageTest, KeepsOneRecordPerKeyInOrder) {
  ScratchDir dir;
  for (const char* name : {"rsa", "ed25519", "ecdsa", "rsa2", "dsa"}) {
    const std::string type = name[0] == 'r' ? "rsa -b 2048" : name;
    ASSERT_EQ(RunCommand("ssh-keygen -q -t " + type + " -a 2 -N secret -C " + name + " -f " +
                         Quote(dir.Path(name)))
                  .status,
              0);
  }
  auto store = std::make_unique<SshAgentStorage>();
  const std::string rsa = dir.Read("rsa");

  // Without a public key it is derived; without the passphrase nothing can be read.
  EXPECT_FALSE(store->AddIdentity("", rsa, ""));
  EXPECT_FALSE(store->AddIdentity(dir.Read("rsa.pub"), rsa, "wrong"));
  EXPECT_TRUE(store->GetIdentities().empty());
  EXPECT_TRUE(store->AddIdentity("", rsa, "secret"));
  EXPECT_TRUE(store->AddIdentity(dir.Read("rsa.pub"), rsa, "secret"));
  ASSERT_EQ(store->GetIdentities().size(), 1u);
  const SshKeyPair& record = store->GetIdentities()[0];
  EXPECT_EQ(record.key_type, KeyType::kRsa);
  EXPECT_EQ(record.fingerprint, SshKeygenMd5Fingerprint(dir.Path("rsa.pub")));
  EXPECT_EQ(KeyAndType(record.public_key), KeyAndType(dir.Read("rsa.pub")));
  EXPECT_FALSE(IsPrivateKeyEncrypted(record.private_key));

  for (const char* name : {"ed25519", "ecdsa", "rsa2", "dsa"}) {
    EXPECT_TRUE(store->AddIdentity(dir.Read(std::string(name) + ".pub"), dir.Read(name), "secret"));
  }
  // The caller's public-key text is kept, comment and all.
  EXPECT_EQ(store->GetIdentities()[1].public_key, dir.Read("ed25519.pub"));

  const std::string ecdsa = SshKeygenMd5Fingerprint(dir.Path("ecdsa.pub"));
  std::string upper = ecdsa;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  EXPECT_FALSE(store->RemoveIdentity(upper));
  EXPECT_EQ(store->FindIdentity(upper), nullptr);
  ASSERT_NE(store->FindIdentity(ecdsa), nullptr);
  EXPECT_EQ(store->FindIdentity(ecdsa)->key_type, KeyType::kEcdsa);

  EXPECT_TRUE(store->RemoveAllIdentitiesOfType(KeyType::kRsa));
  ASSERT_EQ(store->GetIdentities().size(), 3u);
  EXPECT_EQ(store->GetIdentities()[0].key_type, KeyType::kEd25519);
  EXPECT_EQ(store->GetIdentities()[1].key_type, KeyType::kEcdsa);
  EXPECT_EQ(store->GetIdentities()[2].key_type, KeyType::kDsa);
  EXPECT_TRUE(store->RemoveIdentity(ecdsa));
  EXPECT_FALSE(store->RemoveIdentity(ecdsa));
  EXPECT_EQ(store->GetIdentities().size(), 2u);

  SafeCallWrapper<SshAgentStorage> watch(store.get());
  EXPECT_EQ(watch.Get(), store.get());
  store.reset();
  EXPECT_EQ(watch.Get(), nullptr);
}

}  // namespace
