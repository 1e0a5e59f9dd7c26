#include "codec/residual.hpp"

namespace qelvo::codec {
namespace {

entropy::BitContext context_from(std::uint16_t prior) {
  return entropy::BitContext::from_prior(std::clamp<std::uint32_t>(prior, 1, kProbabilityOne - 1));
}

}  // namespace

CoderState::CoderState(const Priors& priors) {
  // Model loading rejects invalid token tables already; a table that is not a distribution
  // would still start uniform here rather than break the coder.
  const Priors uniform = Priors::uniform();
  for (std::size_t t = 0; t < kTokenModels; ++t) {
    const auto table = is_cumulative(priors.token_cdf(t)) ? priors.token_cdf(t) : uniform.token_cdf(t);
    std::copy(table.begin(), table.end(), token_models[t].cdf.begin());
    token_models[t].count = 0;
  }
  for (std::size_t i = 0; i < kSignContexts; ++i) sign_contexts[i] = context_from(priors.values[kSignPriorsAt + i]);
  for (std::size_t j = 0; j < kRunContexts; ++j) run_contexts[j] = context_from(priors.values[kRunPriorsAt + j]);
}

}  // namespace qelvo::codec
