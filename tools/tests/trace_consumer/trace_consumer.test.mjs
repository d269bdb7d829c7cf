// zel-profile's traces loaded by a browser performance panel's trace engine:
// every sample must come out as a slice of the engine's call trees, on its
// tile's thread, at its exact cycles.
//
// Run by CTest with node's test runner; the environment names the programs:
//   ZEL_PROFILE, ZEL_GEMM_RUNNER, WRITE_FIXTURE, and TRACE_CONSUMER_DIR, where
//   scripts/install-deps installed the engine (target/trace_consumer).
import assert from 'node:assert/strict';
import {execFileSync} from 'node:child_process';
import fs from 'node:fs';
import {createRequire} from 'node:module';
import os from 'node:os';
import path from 'node:path';
import {test} from 'node:test';
import {pathToFileURL} from 'node:url';

const {ZEL_PROFILE, ZEL_GEMM_RUNNER, WRITE_FIXTURE, TRACE_CONSUMER_DIR} = process.env;

async function loadEngine() {
  const require = createRequire(path.join(TRACE_CONSUMER_DIR, 'package.json'));
  let entry;
  try {
    entry = require.resolve('@paulirish/trace_engine');
  } catch {
    assert.fail(`the trace engine is not installed in ${TRACE_CONSUMER_DIR}: run scripts/install-deps`);
  }
  // The engine draws with DOMRect, which Node.js lacks.
  globalThis.DOMRect ??= class DOMRect {
    constructor(x = 0, y = 0, width = 0, height = 0) {
      Object.assign(this, {x, y, width, height});
    }
  };
  return import(pathToFileURL(entry));
}

const engine = await loadEngine();
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'trace-consumer-'));
process.on('exit', () => fs.rmSync(scratch, {recursive: true, force: true}));

function traceOf(profile) {
  const out = path.join(scratch, path.basename(profile) + '.json');
  execFileSync(ZEL_PROFILE, ['trace', profile, '-o', out]);
  return JSON.parse(fs.readFileSync(out, 'utf8'));
}

// What the engine keeps: every slice of every thread's call tree, with its
// thread's name, as [thread name, name, start, end].
async function slicesKept(trace) {
  const model = engine.TraceModel.Model.createWithAllHandlers();
  await model.parse(trace.traceEvents);
  const renderer = model.parsedTrace().data.Renderer;
  const kept = [];
  for (const process of renderer.processes.values()) {
    for (const thread of process.threads.values()) {
      const walk = (nodes) => {
        for (const node of nodes) {
          const e = node.entry;
          kept.push([thread.name, e.name, e.ts, e.ts + (e.dur ?? 0)]);
          walk(node.children);
        }
      };
      walk(thread.tree?.roots ?? []);
    }
  }
  return kept;
}

// The slices the trace itself holds, in the same form.
function slicesWritten(trace) {
  const threads = new Map(trace.traceEvents.filter((e) => e.name === 'thread_name')
                              .map((e) => [e.tid, e.args.name]));
  return trace.traceEvents.filter((e) => e.ph === 'X')
      .map((e) => [threads.get(e.tid), e.name, e.ts, e.ts + e.dur]);
}

const sorted = (slices) => slices.map((s) => JSON.stringify(s)).sort();

test('every slice of the simulated GEMM profile is kept, at its exact cycles', async () => {
  const profile = path.join(scratch, 'gemm.capnp');
  execFileSync(ZEL_GEMM_RUNNER, [], {env: {...process.env, ZEL_PROFILE_OUTPUT: profile}});
  const trace = traceOf(profile);
  const written = slicesWritten(trace);
  assert.equal(written.length, 8384);
  assert.ok(trace.traceEvents.every((e) => e.cat !== undefined && e.tid >= 1));
  assert.ok(written.every(([, , start, end]) => Number.isInteger(start) && Number.isInteger(end)));
  assert.deepEqual(sorted(await slicesKept(trace)), sorted(written));
});

test('samples that overlap without nesting are kept on threads of their own', async () => {
  const profile = path.join(scratch, 'overlapping.capnp');
  execFileSync(WRITE_FIXTURE, ['overlapping', profile]);
  const trace = traceOf(profile);
  const written = slicesWritten(trace);
  assert.equal(written.length, 10);
  assert.deepEqual(new Set(written.map(([thread]) => thread)),
                   new Set(['tile 7', 'tile 7 (overlapping samples 2)']));
  assert.deepEqual(sorted(await slicesKept(trace)), sorted(written));
});
