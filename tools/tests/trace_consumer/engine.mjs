// The trace engine of a browser's performance panel, loaded in Node.js, and
// what it keeps of a trace: shared by the trace consumer test and
// scripts/bench, which opens a window of a large profile with it.
//
//   const engine = await loadEngine(process.env.TRACE_CONSUMER_DIR);
//   const kept = await slicesKept(engine, JSON.parse(text));
import assert from 'node:assert/strict';
import {createRequire} from 'node:module';
import path from 'node:path';
import {pathToFileURL} from 'node:url';

// `dir` is where scripts/install-deps installed the engine (target/trace_consumer).
export async function loadEngine(dir) {
  const require = createRequire(path.join(dir, 'package.json'));
  let entry;
  try {
    entry = require.resolve('@paulirish/trace_engine');
  } catch {
    assert.fail(`the trace engine is not installed in ${dir}: run scripts/install-deps`);
  }
  // The engine draws with DOMRect, which Node.js lacks.
  globalThis.DOMRect ??= class DOMRect {
    constructor(x = 0, y = 0, width = 0, height = 0) {
      Object.assign(this, {x, y, width, height});
    }
  };
  return import(pathToFileURL(entry));
}

// What the engine keeps: every slice of every thread's call tree, with its
// thread's name, as [thread name, name, start, end].
export async function slicesKept(engine, trace) {
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
export function slicesWritten(trace) {
  const threads = new Map(trace.traceEvents.filter((e) => e.name === 'thread_name')
                              .map((e) => [e.tid, e.args.name]));
  return trace.traceEvents.filter((e) => e.ph === 'X')
      .map((e) => [threads.get(e.tid), e.name, e.ts, e.ts + e.dur]);
}
