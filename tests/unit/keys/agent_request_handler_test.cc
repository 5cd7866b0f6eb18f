// One agent channel's requests as they come off the wire: framing across reads and within one
// read, the size limit, confirmation answered at once, later, twice or never, and a store that is
// destroyed under the agent.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/keys/agent_key_source.h"
#include "core/keys/agent_request_handler.h"
#include "core/keys/key_utils.h"

namespace {

using State = AgentRequestHandler::State;

const std::string kFailureFrame("\0\0\0\1\5", 5);
const std::string kSuccessFrame("\0\0\0\1\6", 5);
const std::string kListRequest("\0\0\0\1\x0b", 5);

struct Prompt {
  AgentRequestType type;
  std::string fingerprint;
  std::function<void(bool)> reply;
};

class AgentRequestHandlerTest : public testing::Test {
 protected:
  void SetUp() override {
    store_ = std::make_unique<SshAgentStorage>();
    KeyGenOptions key_options;
    key_options.type = KeyType::kEd25519;
    const SshKeyPair key = GenerateSshKey(key_options);
    ASSERT_TRUE(store_->AddIdentity(key.public_key, key.private_key, ""));
    options_.storage = std::make_shared<SafeCallWrapper<SshAgentStorage>>(store_.get());
    handler_ = std::make_unique<AgentRequestHandler>(&source_, &options_, [this] { ++wake_ups_; });
  }

  void EnablePrompt() {
    options_.promptEnabled = true;
    options_.onPrompt = [this](AgentRequestType type, std::string fingerprint,
                               std::function<void(bool)> reply) {
      prompts_.push_back({type, fingerprint, reply});
      if (answer_at_once_) {
        reply(allow_at_once_);
      }
    };
  }

  // Serves what is buffered; the replies, concatenated, as the channel would carry them.
  std::string ServeAll() {
    std::string written;
    while (handler_->Serve() == State::kReply) {
      written += handler_->reply();
      handler_->ReplyWritten();
    }
    return written;
  }

  std::string Feed(const std::string& bytes) {
    handler_->Append(bytes.data(), bytes.size());
    return ServeAll();
  }

  std::unique_ptr<SshAgentStorage> store_;
  AgentOptions options_;
  AgentKeySource source_{&options_};
  std::unique_ptr<AgentRequestHandler> handler_;
  int wake_ups_ = 0;
  std::vector<Prompt> prompts_;
  bool answer_at_once_ = false;
  bool allow_at_once_ = false;
};

TEST_F(AgentRequestHandlerTest, AssemblesFramesHoweverTheyArrive) {
  const std::string list_reply = Feed(kListRequest);
  ASSERT_GT(list_reply.size(), 9u);
  EXPECT_EQ(list_reply[4], '\x0c');

  // A header split over reads, then a body split over reads.
  EXPECT_EQ(Feed(kListRequest.substr(0, 2)), "");
  EXPECT_TRUE(handler_->WantsInput());
  EXPECT_EQ(Feed(kListRequest.substr(2, 2)), "");
  EXPECT_EQ(Feed(kListRequest.substr(4)), list_reply);

  // Pipelined in one read, with a zero-length frame between them: each gets its own reply.
  EXPECT_EQ(Feed(kListRequest + std::string(4, '\0') + kListRequest),
            list_reply + kFailureFrame + list_reply);

  // Beyond the limit the channel is given up without waiting for a body.
  handler_->Append("\xff\xff\xff\xff", 4);
  EXPECT_FALSE(handler_->WantsInput());
  EXPECT_EQ(handler_->Serve(), State::kBroken);
  EXPECT_EQ(wake_ups_, 0);
}

TEST_F(AgentRequestHandlerTest, AsksScriptAndWaitsForItsAnswer) {
  EnablePrompt();
  handler_->Append((kListRequest + kListRequest).data(), 2 * kListRequest.size());
  EXPECT_EQ(handler_->Serve(), State::kPending);
  EXPECT_EQ(handler_->Serve(), State::kPending);  // asked once only
  ASSERT_EQ(prompts_.size(), 1u);
  EXPECT_EQ(prompts_[0].type, AgentRequestType::kRequestIdentities);
  EXPECT_EQ(prompts_[0].fingerprint, "");
  EXPECT_FALSE(handler_->WantsInput());

  prompts_[0].reply(false);
  EXPECT_EQ(wake_ups_, 1);
  prompts_[0].reply(true);  // a second answer to the same question changes nothing
  EXPECT_EQ(wake_ups_, 1);
  EXPECT_EQ(handler_->Serve(), State::kReply);
  EXPECT_EQ(handler_->reply(), kFailureFrame);
  handler_->ReplyWritten();

  // The next request asks anew; answered inside the prompt, it goes through at once.
  answer_at_once_ = true;
  allow_at_once_ = true;
  EXPECT_EQ(ServeAll().substr(4, 1), "\x0c");
  EXPECT_EQ(prompts_.size(), 2u);

  // An answer after the channel is gone is dropped.
  answer_at_once_ = false;
  handler_->Append("\0\0\0\x01\x13", 5);
  EXPECT_EQ(handler_->Serve(), State::kPending);
  EXPECT_EQ(prompts_.back().type, AgentRequestType::kRemoveAll);
  const int wake_ups = wake_ups_;
  handler_.reset();
  prompts_.back().reply(true);
  EXPECT_EQ(wake_ups_, wake_ups);
  EXPECT_EQ(store_->GetIdentities().size(), 1u);
}

TEST_F(AgentRequestHandlerTest, StoreDestroyedUnderTheAgent) {
  store_.reset();
  EXPECT_EQ(Feed(kListRequest), kFailureFrame);
  EXPECT_EQ(Feed(std::string("\0\0\0\1\x13", 5)), kSuccessFrame);
  EXPECT_EQ(Feed(std::string("\0\0\0\1\x09", 5)), kSuccessFrame);
}

}  // namespace
