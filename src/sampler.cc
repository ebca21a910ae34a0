// Placeholder so that dependants link; replaced by the real plan and reader.
#include "sampler.h"

Sampler::Sampler(const pelko_params_t& params) : m_params(params) {}
Sampler::~Sampler() {}
void Sampler::scan() {}
size_t Sampler::get_total_chunks() const { return 0; }
void Sampler::read(chunk_cb_func_t, void*) {}
