#!/usr/bin/env cwl-runner
# Joins many dumps, one job a file, as the Snakemake workflow does.
cwlVersion: v1.2
class: Workflow
label: tagjoin many dumps
doc: |
  Joins each dump, gzipped or not, into NAME.joined with tagjoin.cwl,
  one job a file: the pipeline of the README (tagpick, which inflates
  and keeps the four kinds of line, then tagjoin), either's failure seen.  A file that fails
  leaves no NAME.joined, and the run's status is not 0.  Two dumps that
  would be joined into one NAME.joined are refused before any job.

requirements:
  ScatterFeatureRequirement: {}

# The job's options, made by scripts/make-interface from join-one --describe: edit there.
inputs:
  dumps:
    type: File[]
    doc: the dumps or listings, gzipped when their names end in .gz
  prefilter:
    type: boolean
    default: true
    doc: "keep only the lines that begin with rs, SNP, VAL or CTG, as a whole dump holds many other kinds; off, each line goes to tagjoin"
  drop_incomplete:
    type: boolean
    default: false
    doc: "drop the records that have no CTG line (variants that map nowhere) and count them in the log; off, such a record stops the file, as tagjoin rejects it"
  tagjoin:
    type: string
    default: "tagjoin"
    doc: "the tagjoin program: a name on PATH, or a path"
  tagpick:
    type: string
    default: "tagpick"
    doc: "the tagpick program, which inflates a file and keeps its tagged lines: a name on PATH, or a path"
# end of what scripts/make-interface makes.

outputs:
  joined:
    type: File[]
    outputSource: join/joined

steps:
  # A runner would deliver both outputs under one name, one hiding the
  # other, and report both: the step refuses such dumps in the description
  # itself, so that every runner refuses them, and the jobs take its
  # output, so that none starts before it.
  refuse_clashes:
    run:
      class: ExpressionTool
      requirements:
        InlineJavascriptRequirement: {}
      inputs:
        given: File[]
      outputs:
        dumps: File[]
      # Toil gives its job store's locations, so a file is named by its
      # path only where the runner still has it.
      expression: |
        ${
          var joined_into = {};
          for (var i = 0; i < inputs.given.length; i++) {
            var dump = inputs.given[i];
            // made by scripts/make-interface from join-one --describe: edit there.
            var output = dump.basename.replace(/\.gz$/, "") + ".joined";
            // end of what scripts/make-interface makes.
            var name = /^file:\/\//.test(dump.location)
              ? decodeURIComponent(dump.location.slice(7)) : dump.basename;
            if (joined_into.hasOwnProperty(output))
              throw joined_into[output] + " and " + name + " would both be joined into "
                + output + "; nothing joined";
            joined_into[output] = name;
          }
          return {"dumps": inputs.given};
        }
    in:
      given: dumps
    out: [dumps]
  join:
    run: tagjoin.cwl
    scatter: listing
    # made by scripts/make-interface from join-one --describe: edit there.
    in:
      listing: refuse_clashes/dumps
      prefilter: prefilter
      drop_incomplete: drop_incomplete
      tagjoin: tagjoin
      tagpick: tagpick
    # end of what scripts/make-interface makes.
    out: [joined]
