// The prediction pipeline's worker: ByteModels over the input, position by
// position, exactly as the one-thread encoder runs them.
#include "codec/prediction_pipeline.h"

#include "codec/chunk_models.h"

namespace zelk {
namespace {

class PredictionProducer {
public:
    explicit PredictionProducer(ByteView data)
        : data_(data), models_(data.size(), Pages::Populated), history_(data.data()) {}

    void operator()(uint64_t first, uint64_t end, BytePredictions* out) {
        for (uint64_t i = first; i < end; ++i) {
            const uint8_t* h = history_.at(i);
            models_.look_up(h, i);
            *out++ = {models_.context(), models_.match(h, i), models_.transformer(h, i)};
            history_.record(i, data_[i]);
            models_.learn(h, i, data_[i]);
        }
    }

private:
    ByteView data_;
    ByteModels<DirectTables> models_;
    History history_;
};

}  // namespace

PredictionPipeline::PredictionPipeline(ByteView data) : ring_(data.size(), PredictionProducer(data)) {}

}  // namespace zelk
