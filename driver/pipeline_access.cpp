// The live image pipeline as the property paths reach it: a reference under
// a rundown guard, so the pin never frees a pipeline that is being written.
#include "driver/device_context.h"

ImagePipeline* ReferencePipeline(DeviceContext* ctx) {
  if (!EnterRundown(&ctx->pipelineRundown)) return nullptr;
  ImagePipeline* pipeline = ctx->pipeline;
  if (pipeline == nullptr) LeaveRundown(&ctx->pipelineRundown);
  return pipeline;
}

void ReleasePipeline(DeviceContext* ctx) { LeaveRundown(&ctx->pipelineRundown); }

void InstallPipeline(DeviceContext* ctx, ImagePipeline* pipeline) {
  ctx->pipeline = pipeline;  // the guard is closed: nobody reads it now
  if (pipeline != nullptr) OpenRundown(&ctx->pipelineRundown);
}

ImagePipeline* RemovePipeline(DeviceContext* ctx) {
  CloseRundown(&ctx->pipelineRundown);
  WaitForRundown(&ctx->pipelineRundown);
  ImagePipeline* pipeline = ctx->pipeline;
  ctx->pipeline = nullptr;
  return pipeline;
}
