-- wrk script: POST /v1/pages with a distinct message per request (one pager each).
-- The token comes from the environment (RELAY_TOKEN), never from the command line.
local counter = 0
local token = os.getenv("RELAY_TOKEN")

request = function()
  counter = counter + 1
  local body = string.format('{"pagers":["5551234"],"message":"bench %d-%d"}',
                             math.random(1, 1000000000), counter)
  return wrk.format("POST", "/v1/pages", {
    ["Authorization"] = "Bearer " .. token,
    ["Content-Type"] = "application/json",
  }, body)
end

done = function(summary, latency, requests)
  io.write(string.format("RESULT requests=%d duration_us=%d non2xx=%d errors=%d p50_us=%d p99_us=%d\n",
    summary.requests, summary.duration,
    summary.errors.status, summary.errors.connect + summary.errors.read + summary.errors.write +
      summary.errors.timeout,
    latency:percentile(50), latency:percentile(99)))
end
